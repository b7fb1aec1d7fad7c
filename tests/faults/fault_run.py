#!/usr/bin/python3
"""Fault harness: the poller and the simulator through a fault proxy of ours.

For each link kind (Modbus TCP, and RTU over socat pseudo-terminal pairs) two
lanes run side by side, each with its own simulated unit and proxy:

  documents  quillark-poll --rounds 0; every printed document must be one the
             unit served (rounds mode of quillark-sim, checked by fault_tool)
  writes     fault_tool polls rounds and sends 206/210 from another thread;
             every write the driver calls confirmed must be one the unit
             received, with the same address and values

The proxy kills and restarts the unit, mutes it, loses requests, holds
answers past the response timeout, garbles bytes, rewrites the unit id and
(TCP) the transaction id, duplicates answers and swaps two answers' order.

Exit status 0 when no document and no write verdict is wrong, 1 otherwise.
Only loopback and pseudo-terminals; every process started here is stopped by
its pid.
"""

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

from fault_proxy import ANSWER_FAULTS_RTU, ANSWER_FAULTS_TCP, Faults, RtuProxy, TcpProxy


def wait_for(predicate, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.02)
    raise RuntimeError("timed out waiting for " + what)


class Lane:
    """One simulated unit behind one proxy, and the master that polls it."""

    def __init__(self, args, kind, name, work, rng):
        self.args, self.kind, self.name, self.work = args, kind, name, work
        self.timeout_s = args.timeout_ms / 1000.0
        self.log = os.path.join(work, name + ".rounds")
        self.children = []
        self.returns = []  # times the unit came back
        kinds = ANSWER_FAULTS_TCP if kind == "tcp" else ANSWER_FAULTS_RTU
        self.faults = Faults(rng, kinds, args.fault_rate, self.timeout_s)
        self.sim = None
        self.sim_port = 0
        self.socat_unit = None
        if kind == "tcp":
            self.start_sim()
            self.proxy = TcpProxy(self.faults, self.timeout_s, self.sim_port)
            self.link = ["tcp", "127.0.0.1", str(self.proxy.port)]
        else:
            host_end = os.path.join(work, name + ".host")
            proxy_end = os.path.join(work, name + ".proxy")
            self.spawn_socat(host_end, proxy_end)
            self.proxy = RtuProxy(self.faults, self.timeout_s, proxy_end)
            self.start_sim()
            self.link = ["rtu", host_end]

    def spawn(self, argv, **kw):
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, **kw)
        self.children.append(child)
        return child

    def spawn_socat(self, a, b):
        child = self.spawn(["socat", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b],
                           stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(a) and os.path.exists(b), 5, "socat")
        return child

    def start_sim(self):
        argv = [os.path.join(self.args.build, "tools", "quillark-sim"), "--round-log", self.log]
        if self.kind == "tcp":
            port_file = os.path.join(self.work, self.name + ".port")
            if os.path.exists(port_file):
                os.unlink(port_file)
            argv += ["--tcp", "127.0.0.1:%d" % self.sim_port, "--port-file", port_file]
            self.sim = self.spawn(argv + self.sim_trace(), stdout=subprocess.DEVNULL,
                                  stderr=self.sim_stderr())
            wait_for(lambda: os.path.exists(port_file), 5, "the simulator's port")
            with open(port_file) as f:
                self.sim_port = int(f.read())
        else:
            unit_end = os.path.join(self.work, self.name + ".unit")
            proxy_unit_end = os.path.join(self.work, self.name + ".proxyunit")
            self.socat_unit = self.spawn_socat(unit_end, proxy_unit_end)
            self.proxy.attach_unit(proxy_unit_end)
            argv += ["--rtu", unit_end]
            self.sim = self.spawn(argv + self.sim_trace(), stdout=subprocess.PIPE,
                                  stderr=self.sim_stderr())
            self.sim.stdout.readline()  # "listening": the line is open

    def sim_trace(self):
        return ["--verbose"] if self.args.keep else []

    def sim_stderr(self):
        if not self.args.keep:
            return subprocess.DEVNULL
        return open(os.path.join(self.work, self.name + ".sim.log"), "a")

    def kill_sim(self):
        """The unit goes away at once (power cut): SIGKILL, no goodbye."""
        self.sim.kill()
        self.sim.wait()
        if self.kind == "rtu":
            self.proxy.detach_unit()
            self.socat_unit.terminate()
            self.socat_unit.wait()

    def fault_loop(self, end, rng):
        """Unit-wide faults now and then: a power cut or a silent spell."""
        while time.monotonic() < end:
            time.sleep(rng.uniform(4.0, 9.0))
            if time.monotonic() >= end:
                break
            if rng.random() < 0.5:
                self.faults.counts["kill"] += 1
                self.kill_sim()
                time.sleep(rng.uniform(0.5, 3.0))
                self.start_sim()
            else:
                self.faults.counts["mute"] += 1
                self.faults.muted_until = time.monotonic() + rng.uniform(0.5, 3.0)
                time.sleep(max(0.0, self.faults.muted_until - time.monotonic()))
            self.returns.append(time.monotonic())

    def stop(self):
        self.proxy.stop = True
        for child in reversed(self.children):
            if child.poll() is None:
                child.terminate()
                try:
                    child.wait(5)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()


def run_documents(lane, seconds, rng):
    poll = [os.path.join(lane.args.build, "tools", "quillark-poll"), "--rounds", "0",
            # A second's rest: every round completes in a second of its own,
            # so each has a data time, and a document, of its own.
            "--interval", "1", "--timeout", str(lane.args.timeout_ms)]
    poll += ["--tcp", "%s:%s" % (lane.link[1], lane.link[2])] if lane.kind == "tcp" \
        else ["--rtu", lane.link[1]]
    child = lane.spawn(poll, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    docs, stderr_lines = [], []
    out_t = threading.Thread(target=lambda: [docs.append((time.monotonic(), line))
                                             for line in child.stdout], daemon=True)
    err_t = threading.Thread(target=lambda: stderr_lines.extend(child.stderr), daemon=True)
    out_t.start()
    err_t.start()
    end = time.monotonic() + seconds
    lane.fault_loop(end, rng)
    stop_at = time.monotonic()
    child.send_signal(signal.SIGTERM)
    child.wait(10)
    stopped_in = time.monotonic() - stop_at
    out_t.join(5)
    err_t.join(5)

    if lane.args.keep:
        with open(os.path.join(lane.work, lane.name + ".poll.log"), "w") as f:
            f.writelines(stderr_lines)
    docs_file = os.path.join(lane.work, lane.name + ".docs")
    with open(docs_file, "w") as f:
        f.writelines(line for _, line in docs)
    check = subprocess.run([os.path.join(lane.args.build, "tests", "faults", "fault_tool"),
                            "docs", lane.log, docs_file], capture_output=True, text=True)
    summary = [l for l in check.stdout.splitlines() if l.startswith("served_rounds")]
    if check.returncode != 0 or not summary:
        raise RuntimeError("fault_tool docs failed: " + check.stderr)
    sys.stderr.write(check.stderr)
    fields = summary[0].split()
    figures = dict(zip(fields[0::2], map(int, fields[1::2])))
    rounds = [l for l in stderr_lines if ": round " in l]
    recover = []
    for back in lane.returns:
        first = next((t for t, _ in docs if t > back), None)
        if first is not None:
            recover.append(first - back)
    return {
        "rounds tried": len(rounds),
        "rounds complete": sum(1 for l in rounds if ": ok," in l),
        "published": figures["documents"],
        "published again within the same second": figures["repeated"],
        "served rounds": figures["served_rounds"],
        "wrong documents": figures["wrong"],
        "reconnects": max(0, lane.proxy.connections - 1) if lane.kind == "tcp" else "-",
        "unit returned": len(lane.returns),
        "_recover": recover,
        "poller exit status": child.returncode,
        "SIGTERM to exit, s": round(stopped_in, 2),
    }


def run_writes(lane, seconds, rng):
    tool = [os.path.join(lane.args.build, "tests", "faults", "fault_tool"), "writes"]
    tool += lane.link + [str(seconds), str(lane.args.timeout_ms)]
    child = lane.spawn(tool, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(child.stdout), daemon=True)
    reader.start()
    lane.fault_loop(time.monotonic() + seconds, rng)
    child.wait(seconds + 60)
    reader.join(5)
    received = {}
    with open(lane.log) as f:
        for line in f:
            parts = line.split()
            if parts and parts[0] == "W":
                key = tuple(map(int, parts[1:]))
                received[key] = received.get(key, 0) + 1
    verdicts = {1: 0, 3: 0, -1: 0}
    wrong = 0
    for line in lines:
        parts = line.split()
        if not parts or parts[0] != "V":
            continue
        verdict, key = int(parts[1]), tuple(map(int, parts[2:]))
        verdicts[verdict] = verdicts.get(verdict, 0) + 1
        if verdict == 1 and key not in received:
            wrong += 1
            if wrong <= 5:
                sys.stderr.write("WRONG verdict: confirmed but never received: %s" % line)
    return {
        "writes": sum(verdicts.values()),
        "confirmed": verdicts[1],
        "not confirmed": verdicts[3],
        "no answer": verdicts[-1],
        "received by the unit": sum(received.values()),
        "received twice": sum(1 for n in received.values() if n > 1),
        "wrong write verdicts": wrong,
        "writer exit status": child.returncode,
    }


def merge(total, part):
    for key, value in part.items():
        if key not in total:
            total[key] = value
        elif isinstance(value, list):
            total[key] = total[key] + value
        elif isinstance(value, (int, float)) and isinstance(total[key], (int, float)):
            total[key] = max(total[key], value) if key.endswith(", s") or "status" in key \
                else total[key] + value
        elif isinstance(value, (int, float)):
            total[key] = value


def run_kind(args, kind, work):
    """Document lanes and one write lane side by side, each with its unit."""
    lanes, parts, threads = [], [], []
    try:
        for i in range(args.doc_lanes + 1):
            name = "%s-%s%d" % (kind, "writes" if i == args.doc_lanes else "docs", i)
            lanes.append(Lane(args, kind, name, work, random.Random(args.seed + 10 * i)))
        for i, lane in enumerate(lanes):
            job = run_writes if i == args.doc_lanes else run_documents
            rng = random.Random(args.seed + 10 * i + 1)
            threads.append(threading.Thread(
                target=lambda job=job, lane=lane, rng=rng: parts.append(
                    job(lane, args.seconds, rng))))
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        for lane in lanes:
            lane.stop()
    results = {}
    for part in parts:
        merge(results, part)
    counts = {}
    for lane in lanes:
        for k, v in lane.faults.counts.items():
            counts[k] = counts.get(k, 0) + v
    recover = results.pop("_recover", [])
    results["first good round after the unit returns, median s"] = \
        round(statistics.median(recover), 2) if recover else "-"
    results["first good round after the unit returns, max s"] = \
        round(max(recover), 2) if recover else "-"
    results["faults injected"] = " ".join("%s %d" % kv for kv in sorted(counts.items()))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="the build directory")
    parser.add_argument("--link", choices=("tcp", "rtu", "both"), default="both")
    parser.add_argument("--seconds", type=float, default=20, help="per link kind")
    parser.add_argument("--timeout-ms", type=int, default=150, help="the poller's timeout")
    parser.add_argument("--fault-rate", type=float, default=0.03,
                        help="share of answers the proxy tampers with")
    parser.add_argument("--doc-lanes", type=int, default=2,
                        help="pollers per link kind, each with its own unit and proxy")
    parser.add_argument("--keep", metavar="DIR",
                        help="keep the logs (rounds served, documents) in DIR")
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    print("fault harness: seed %d, %g s per link kind, timeout %d ms, fault rate %g"
          % (args.seed, args.seconds, args.timeout_ms, args.fault_rate), flush=True)
    kinds = ("tcp", "rtu") if args.link == "both" else (args.link,)
    bad = False
    with tempfile.TemporaryDirectory(prefix="quillark-faults-") as scratch:
        work = args.keep or scratch
        os.makedirs(work, exist_ok=True)
        for kind in kinds:
            results = run_kind(args, kind, work)
            print("%s:" % kind)
            for key, value in results.items():
                print("  %-42s %s" % (key, value))
            sys.stdout.flush()
            bad |= results.get("wrong documents", 1) != 0
            bad |= results.get("wrong write verdicts", 1) != 0
            bad |= results.get("published", 0) == 0 or results.get("confirmed", 0) == 0
            # A sanitizer's finding ends a process with a status of its own.
            bad |= results.get("poller exit status") != 0
            bad |= results.get("writer exit status") != 0
    print("fault harness: %s" % ("FAILED" if bad else "ok"))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""The alert rules and the hall dashboard that ship with the agent:

- the rules pass their own promtool unit tests;
- every expression of the rules and of the dashboard is valid PromQL (promtool
  checks them as recording rules), and every quillark_* metric and every point
  id they name is one that a running agent exports on /metrics.

  alerting_test.py AGENT AGENT_SOURCE_DIR [EMULATOR]
"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import yaml

AGENT, SOURCE = sys.argv[1], sys.argv[2]
EMULATOR = sys.argv[3].split("|") if len(sys.argv) > 3 and sys.argv[3] else []
RULES_DIR = os.path.join(SOURCE, "prometheus")
RULES = os.path.join(RULES_DIR, "quillark.rules.yml")
DASHBOARD = os.path.join(SOURCE, "grafana", "quillark-hall.json")
PROMTOOL = "/usr/bin/promtool"
failures = []
passes = []


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what)
    (passes if ok else failures).append(what)


def live_metrics():
    """/metrics of the agent polling its built-in simulated units."""
    with tempfile.TemporaryDirectory() as work:
        log = os.path.join(work, "agent.err")
        with open(log, "w") as err:
            agent = subprocess.Popen(EMULATOR + [AGENT, "--listen", "127.0.0.1:0", "--interval", "0.5"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        try:
            base, text = None, ""
            for _ in range(1200):
                with open(log, encoding="utf-8", errors="replace") as f:
                    found = re.search(r"live view on (http://[0-9.:]+)/", f.read())
                if found:
                    base = found.group(1)
                    with urllib.request.urlopen(base + "/metrics", timeout=10) as answer:
                        text = answer.read().decode()
                    if re.search(r'^quillark_up\{[^}]*\} 1$', text, re.M) and "quillark_round_duration" in text:
                        return text
                time.sleep(0.1)
            with open(log, encoding="utf-8", errors="replace") as f:
                sys.exit("the agent did not come up with a unit online:\n" + f.read() + text[:2000])
        finally:
            agent.send_signal(signal.SIGTERM)
            agent.wait(20)


def expressions():
    """(where, expr) of every rule and every dashboard target."""
    out = []
    with open(RULES, encoding="utf-8") as f:
        for group in yaml.safe_load(f)["groups"]:
            for rule in group["rules"]:
                out.append(("rule " + rule["alert"], rule["expr"]))
    with open(DASHBOARD, encoding="utf-8") as f:
        dashboard = json.load(f)
    for panel in dashboard["panels"]:
        for target in panel.get("targets", []):
            out.append(("panel '%s' %s" % (panel["title"], target["refId"]), target["expr"]))
    for variable in dashboard["templating"]["list"]:
        if variable["type"] == "query":
            query = re.match(r"label_values\((\w+),\s*(\w+)\)", variable["definition"])
            check(query is not None, "variable %s is label_values(METRIC, LABEL)" % variable["name"])
            if query:
                out.append(("variable " + variable["name"], query.group(1)))
    return out


def main():
    tests = subprocess.run([PROMTOOL, "test", "rules", "quillark.rules.test.yml"], cwd=RULES_DIR,
                           capture_output=True, text=True)
    check(tests.returncode == 0, "promtool test rules\n" + tests.stdout + tests.stderr)

    exprs = expressions()
    # Grafana's $variables stand for label matchers' values: any regex will do.
    recording = {"groups": [{"name": "check", "rules": [
        {"record": "check:expr_%d" % i, "expr": expr.replace("$unit", ".*")}
        for i, (_, expr) in enumerate(exprs)]}]}
    with tempfile.NamedTemporaryFile("w", suffix=".yml", delete=False) as f:
        yaml.safe_dump(recording, f, allow_unicode=True)
    syntax = subprocess.run([PROMTOOL, "check", "rules", f.name], capture_output=True, text=True)
    os.unlink(f.name)
    check(syntax.returncode == 0, "every expression is valid PromQL\n" + syntax.stdout + syntax.stderr)

    metrics = live_metrics()
    exported = set(re.findall(r"^(quillark_\w+)[{ ]", metrics, re.M))
    points = set(re.findall(r'point="(\w+)"', metrics))
    for where, expr in exprs:
        for name in re.findall(r"\b(quillark_\w+)", expr):
            check(name in exported, "%s: %s is exported" % (where, name))
        for point in re.findall(r'point="(\w+)"', expr):
            check(point in points, "%s: point %s is exported" % (where, point))
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Holds an agent's HTTP port with slow and idle clients while a normal client
asks for /metrics, and prints how long each answer took.

  bench/http_hold.py PORT [SLOW] [IDLE] [SECONDS] [once]

SLOW clients send their request one byte a second and open a new connection
when the agent closes theirs; IDLE clients connect and send nothing, again and
again. With "once" a closed connection stays closed. Defaults: 100 slow, 2000
idle, 30 s. The script raises its own limit of
open files to fit.
"""
import resource
import selectors
import socket
import sys
import time
import urllib.request

PORT = int(sys.argv[1])
SLOW = int(sys.argv[2]) if len(sys.argv) > 2 else 100
IDLE = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
SECONDS = float(sys.argv[4]) if len(sys.argv) > 4 else 30
AGAIN = not (len(sys.argv) > 5 and sys.argv[5] == "once")
REQUEST = b"GET /metrics HTTP/1.1\r\nHost: agent\r\n\r\n"

soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, SLOW + IDLE + 256), hard))


def connect():
    s = socket.socket()
    s.setblocking(False)
    s.connect_ex(("127.0.0.1", PORT))
    return s


sel = selectors.DefaultSelector()
slow = {}  # socket -> bytes sent
idle = set()
reopened = 0


def open_slow():
    s = connect()
    slow[s] = 0
    sel.register(s, selectors.EVENT_READ)


def open_idle():
    s = connect()
    idle.add(s)
    sel.register(s, selectors.EVENT_READ)


for _ in range(SLOW):
    open_slow()
for _ in range(IDLE):
    open_idle()

times = []
failures = 0
start = time.monotonic()
next_byte = start
while time.monotonic() - start < SECONDS:
    # A closed connection is opened again: the clients keep up the pressure.
    for key, _ in sel.select(timeout=0):
        s = key.fileobj
        sel.unregister(s)
        s.close()
        reopened += 1
        if s in slow:
            del slow[s]
            if AGAIN:
                open_slow()
        else:
            idle.discard(s)
            if AGAIN:
                open_idle()
    if time.monotonic() >= next_byte:
        for s, sent in list(slow.items()):
            try:
                s.send(REQUEST[sent % len(REQUEST):sent % len(REQUEST) + 1])
                slow[s] = sent + 1
            except OSError:
                pass
        next_byte += 1
    asked = time.monotonic()
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{PORT}/metrics", timeout=20) as r:
            r.read()
        times.append(time.monotonic() - asked)
    except OSError as e:
        failures += 1
        print("failed:", e, file=sys.stderr)
    time.sleep(0.2)

times.sort()
spread = (f"median {times[len(times) // 2] * 1000:.1f} ms, slowest {times[-1] * 1000:.1f} ms"
          if times else "no answer")
print(f"{SLOW} slow and {IDLE} idle clients for {SECONDS:.0f} s: {len(times)} answers to /metrics, "
      f"{failures} failed; {spread}; connections the agent closed: {reopened}")

"""A gateway that accepts every TCP connection and closes it at once, on a
free loopback port: prints the port, then, SECONDS after the first
connection, how many it accepted. Point an agent's link at the port to count
how often the agent reopens such a link.
    /usr/bin/python3 bench/hang_up_gateway.py [SECONDS]"""
import select
import socket
import sys
import time

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 30
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(64)
print(listener.getsockname()[1], flush=True)
accepted, end = 0, None
while end is None or time.monotonic() < end:
    if select.select([listener], [], [], 0.05)[0]:
        listener.accept()[0].close()
        accepted += 1
        if end is None:
            end = time.monotonic() + seconds
print("accepted %d connections in %g s" % (accepted, seconds), flush=True)

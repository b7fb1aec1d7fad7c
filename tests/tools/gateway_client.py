#!/usr/bin/python3
"""A Modbus TCP client for the agent's gateway tests, on Debian's pymodbus.

  gateway_client.py PORT read UNIT FUNCTION ADDRESS COUNT
      prints "values V1 V2 ..." or "exception CODE"
  gateway_client.py PORT write UNIT ADDRESS VALUE
      prints "written" or "exception CODE"
  gateway_client.py PORT many CLIENTS READS UNIT ADDRESS COUNT
      CLIENTS connections at once, each READS input-register reads; prints
      one line per distinct answer, "COUNT times: V1 V2 ..." (or "exception
      CODE"), so every client seeing the same values prints one line

Anything else that goes wrong ends in "error TEXT" and exit status 1.
"""
import collections
import sys
import threading

from pymodbus.client import ModbusTcpClient
from pymodbus.pdu import ExceptionResponse


def describe(answer):
    if isinstance(answer, ExceptionResponse):
        return "exception 0x%02X" % answer.exception_code
    if answer.isError():
        raise RuntimeError(str(answer))
    if hasattr(answer, "registers"):
        return "values " + " ".join(str(v) for v in answer.registers)
    if hasattr(answer, "bits"):
        return "values " + " ".join(str(int(b)) for b in answer.bits)
    return "written"


def connect(port):
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=30, retries=0)
    if not client.connect():
        raise RuntimeError("cannot connect to 127.0.0.1:%d" % port)
    return client


def read(client, unit, function, address, count):
    call = {1: client.read_coils, 2: client.read_discrete_inputs,
            3: client.read_holding_registers, 4: client.read_input_registers}[function]
    answer = describe(call(address, count, slave=unit))
    return answer if not answer.startswith("values") or function > 2 else \
        "values " + " ".join(answer.split()[1:count + 1])


def many(port, clients, reads, unit, address, count):
    seen = collections.Counter()
    lock = threading.Lock()
    start = threading.Barrier(clients)

    def one():
        try:
            client = connect(port)
            start.wait()
            for _ in range(reads):
                answer = read(client, unit, 4, address, count)
                with lock:
                    seen[answer] += 1
            client.close()
        except Exception as e:  # noqa: BLE001 - told as a line of its own
            with lock:
                seen["error " + str(e)] += 1

    threads = [threading.Thread(target=one) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for answer, times in sorted(seen.items()):
        print("%d times: %s" % (times, answer))


def main(argv):
    port, what, args = int(argv[1]), argv[2], [int(a) for a in argv[3:]]
    if what == "many":
        many(port, *args)
        return 0
    client = connect(port)
    if what == "read":
        print(read(client, *args))
    elif what == "write":
        unit, address, value = args
        print(describe(client.write_register(address, value, slave=unit)))
    client.close()
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except Exception as e:  # noqa: BLE001
        print("error " + str(e))
        sys.exit(1)

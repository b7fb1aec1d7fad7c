"""The fault harness's proxy: between a Modbus master and the simulated unit,
over loopback TCP or between two pseudo-terminal pairs (RTU), it passes
requests on and does to the unit's answers what a bad link or a confused
gateway does. Each proxy runs on a thread of its own."""

import os
import selectors
import socket
import threading
import time
import tty


ANSWER_FAULTS_TCP = ("delay", "garble", "unit", "transaction", "duplicate", "reorder")
ANSWER_FAULTS_RTU = ("delay", "garble", "unit", "duplicate", "reorder")


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes((crc & 0xFF, crc >> 8))


def rtu_frame_length(buf):
    """Length of the answer frame at the start of buf, None if incomplete."""
    if len(buf) < 2:
        return None
    function = buf[1]
    if function & 0x80:
        return 5
    if function in (1, 2, 3, 4):
        return 5 + buf[2] if len(buf) >= 3 else None
    return 8


def rtu_request_length(buf):
    """Length of the request frame at the start of buf, None if incomplete."""
    if len(buf) < 2:
        return None
    if buf[1] in (15, 16):
        return 9 + buf[6] if len(buf) >= 7 else None
    return 8


def tcp_frame_length(buf):
    if len(buf) < 6:
        return None
    return 6 + int.from_bytes(buf[4:6], "big")


class Faults:
    """Decides, answer by answer, what the proxy does to it."""

    def __init__(self, rng, kinds, rate, timeout_s):
        self.rng, self.kinds, self.rate, self.timeout_s = rng, kinds, rate, timeout_s
        self.muted_until = 0.0
        self.counts = {k: 0 for k in kinds + ("mute", "kill", "lost request")}

    def lose_request(self):
        """A request lost on its way to the unit (one in 2/rate)."""
        if time.monotonic() < self.muted_until or self.rng.random() >= self.rate / 2:
            return False
        self.counts["lost request"] += 1
        return True

    def pick(self):
        if time.monotonic() < self.muted_until:
            return "drop"
        if self.rng.random() >= self.rate:
            return None
        kind = self.rng.choice(self.kinds)
        self.counts[kind] += 1
        return kind


class Proxy:
    """Passes requests through; applies faults to the unit's answers."""

    def __init__(self, faults, rtu, timeout_s):
        self.faults, self.rtu, self.timeout_s = faults, rtu, timeout_s
        self.frame_length = rtu_frame_length if rtu else tcp_frame_length
        self.request_length = rtu_request_length if rtu else tcp_frame_length
        self.requests = bytearray()
        self.lock = threading.Lock()
        self.client = self.upstream = None
        self.pending = bytearray()
        self.held = None  # an answer held back to go out after the next one
        self.held_since = 0.0
        # How late an answer may come. Over TCP any time: the transaction id
        # tells. Over RTU nothing in an answer tells which request it answers,
        # and the master keeps it apart by time: it drains the line after a
        # timeout until 100 ms of silence. An answer that begins later than
        # that, alone, at any moment, is from a unit that was away, and could
        # be taken for a later request: not what a unit or line does. Late is
        # counted from the request, as the master counts its timeout, and
        # stays well inside the drain so that a busy machine cannot stretch
        # it past.
        self.late_s = (0.01, 0.05) if rtu else (0.02, 0.3)
        self.request_at = time.monotonic()  # when the latest request went on
        self.timers = []  # (due, bytes)
        self.connections = 0

    # -- answer faults -------------------------------------------------------
    def _mangle(self, frame):
        kind = self.faults.pick()
        rng = self.faults.rng
        if kind == "drop":
            return []
        if kind == "delay":
            due = self.request_at + self.timeout_s + rng.uniform(*self.late_s)
            self.timers.append((due, frame))
            return []
        if kind == "garble":
            # Modbus TCP carries no checksum (TCP's own protects the bytes in
            # transit), so a flipped data bit there is invisible to anyone:
            # garble the header, function and byte count. RTU's CRC covers
            # the whole frame.
            frame = bytearray(frame)
            at = rng.randrange(len(frame) if self.rtu else min(len(frame), 9))
            frame[at] ^= 1 << rng.randrange(8)
            return [bytes(frame)]
        if kind == "unit":
            frame = bytearray(frame)
            at = 0 if self.rtu else 6
            frame[at] = (frame[at] % 247) + 1  # another unit, always
            if self.rtu:
                frame[-2:] = crc16(frame[:-2])
            return [bytes(frame)]
        if kind == "transaction":
            frame = bytearray(frame)
            tid = (int.from_bytes(frame[0:2], "big") + rng.choice((-1, 1, 7))) & 0xFFFF
            frame[0:2] = tid.to_bytes(2, "big")
            return [bytes(frame)]
        if kind == "duplicate":
            return [frame + frame]  # back to back, as a unit would send them
        if kind == "reorder":
            if self.held is None:
                self.held = frame
                self.held_since = self.request_at
                return []
        if self.held is not None:
            frame += self.held  # the held answer right behind the next one
            self.held = None
        return [frame]

    def from_unit(self, data):
        out = []
        with self.lock:
            self.pending += data
            while True:
                n = self.frame_length(self.pending)
                if n is None or len(self.pending) < n:
                    break
                frame = bytes(self.pending[:n])
                del self.pending[:n]
                out += self._mangle(frame)
        for frame in out:
            self.to_master(frame)

    def from_master(self, data):
        """The whole requests in data that reach the unit."""
        out = b""
        with self.lock:
            self.requests += data
            while True:
                n = self.request_length(self.requests)
                if n is None or len(self.requests) < n:
                    break
                frame = bytes(self.requests[:n])
                del self.requests[:n]
                if not self.faults.lose_request():
                    out += frame
                    self.request_at = time.monotonic()
        return out

    def due(self):
        now = time.monotonic()
        with self.lock:
            ready = [f for t, f in self.timers if t <= now]
            self.timers = [(t, f) for t, f in self.timers if t > now]
            if self.held is not None and not ready and \
                    now > self.held_since + self.timeout_s + self.late_s[1]:
                ready.append(self.held)  # the reordered answer, alone, late
                self.held = None
        for frame in ready:
            self.to_master(frame)

    def reset(self):
        with self.lock:
            self.pending.clear()
            self.requests.clear()
            self.held = None
            self.timers = []


class TcpProxy(Proxy):
    def __init__(self, faults, timeout_s, unit_port):
        super().__init__(faults, False, timeout_s)
        self.unit_port = unit_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def to_master(self, frame):
        try:
            if self.client:
                self.client.sendall(frame)
        except OSError:
            pass

    def drop_connection(self):
        for s in (self.client, self.upstream):
            if s:
                s.close()
        self.client = self.upstream = None
        self.reset()

    def run(self):
        sel = selectors.DefaultSelector()
        sel.register(self.listener, selectors.EVENT_READ, "accept")
        while not self.stop:
            for key, _ in sel.select(0.01):
                if key.data == "accept":
                    conn, _ = self.listener.accept()
                    if self.client:
                        sel.unregister(self.client)
                        if self.upstream:
                            sel.unregister(self.upstream)
                        self.drop_connection()
                    self.connections += 1
                    try:
                        up = socket.create_connection(("127.0.0.1", self.unit_port), 0.5)
                    except OSError:
                        conn.close()  # the unit is away
                        continue
                    self.client, self.upstream = conn, up
                    sel.register(conn, selectors.EVENT_READ, "client")
                    sel.register(up, selectors.EVENT_READ, "unit")
                    continue
                try:
                    data = key.fileobj.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    sel.unregister(self.client)
                    sel.unregister(self.upstream)
                    self.drop_connection()
                    break
                if key.data == "client":
                    try:
                        self.upstream.sendall(self.from_master(data))
                    except OSError:
                        pass
                else:
                    self.from_unit(data)
            self.due()


class RtuProxy(Proxy):
    """Between two pseudo-terminal pairs: master side and unit side."""

    def __init__(self, faults, timeout_s, master_end):
        super().__init__(faults, True, timeout_s)
        self.master_fd = open_raw(master_end)
        self.unit_fd = None
        self.unit_lock = threading.Lock()
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def attach_unit(self, unit_end):
        with self.unit_lock:
            self.unit_fd = open_raw(unit_end)

    def detach_unit(self):
        with self.unit_lock:
            if self.unit_fd is not None:
                os.close(self.unit_fd)
            self.unit_fd = None
        self.reset()

    def to_master(self, frame):
        os.write(self.master_fd, frame)

    def run(self):
        while not self.stop:
            with self.unit_lock:
                fds = [self.master_fd] + ([self.unit_fd] if self.unit_fd is not None else [])
            poller = selectors.DefaultSelector()
            for fd in fds:
                poller.register(fd, selectors.EVENT_READ)
            for key, _ in poller.select(0.01):
                try:
                    data = os.read(key.fd, 4096)
                except OSError:
                    continue
                with self.unit_lock:
                    unit_fd = self.unit_fd
                if key.fd == self.master_fd:
                    data = self.from_master(data)
                    if unit_fd is not None and data:
                        try:
                            os.write(unit_fd, data)
                        except OSError:
                            pass
                elif key.fd == unit_fd:
                    self.from_unit(data)
            poller.close()
            self.due()


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    return fd

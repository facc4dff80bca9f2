#!/usr/bin/env python3
"""A stand-in driver for checking zel-serial-sim-run natively.

    serial_peer.py CELLS KEY...

Opens the COM port the runner linked ($ZEL_DOSDEVICES/comN, N from $ZEL_PTY_COM), identifies the
display, sends one display frame with CELLS (hex, device dot order, zero-padded to 42), then
acknowledges and collects the display's key frames until it has KEY... (each TYPE:CODE with TYPE
one of routing function char scan), in that order. Exits 0 when all came with good checksums,
1 otherwise (within 10 seconds).
"""

import os
import select
import sys
import time

TYPES = {"function": 0x10, "routing": 0x11, "char": 0x13, "scan": 0x14}


def checksum(kind, payload):
    return ((0x02 + kind + len(payload) + 0x03 + sum(payload)) & 0xFFFF) ^ 0xAA55


def frame(kind, payload=b""):
    s = checksum(kind, payload)
    return bytes([1, 2, kind, len(payload), 3]) + bytes(payload) + bytes([s & 0xFF, s >> 8])


class Port:
    def __init__(self, path, deadline):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        self.deadline = deadline
        self.buffer = b""

    def write(self, data):
        os.write(self.fd, data)

    def read(self, count):
        while len(self.buffer) < count:
            left = self.deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                sys.exit(f"serial_peer: timed out waiting for the display; have {self.buffer.hex()}")
            self.buffer += os.read(self.fd, 512)
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def next_frame(self):
        head = self.read(5)
        if head[0:2] != b"\x01\x02" or head[4] != 3:
            sys.exit(f"serial_peer: bad frame head {head.hex()}")
        rest = self.read(head[3] + 2)
        payload = rest[:-2]
        if rest[-2] | rest[-1] << 8 != checksum(head[2], payload):
            sys.exit(f"serial_peer: bad checksum in {(head + rest).hex()}")
        return head[2], payload


def main():
    cells = bytes.fromhex(sys.argv[1]).ljust(42, b"\0")
    wanted = []
    for key in sys.argv[2:]:
        name, code = key.split(":")
        code = int(code, 0)
        payload = bytes([code]) if TYPES[name] < 0x13 else bytes([code & 0xFF, code >> 8])
        wanted.append((TYPES[name], payload))
    path = os.path.join(os.environ["ZEL_DOSDEVICES"], os.environ["ZEL_PTY_COM"].lower())
    port = Port(path, time.monotonic() + 10)

    port.write(frame(0x24))
    if port.next_frame() != (0x7F, b"") or port.next_frame()[0] != 0x25:
        sys.exit("serial_peer: no ack and identification reply")
    port.write(frame(0x7F))
    port.write(frame(0x26, b"\0"))
    if port.next_frame() != (0x7F, b""):
        sys.exit("serial_peer: identify done not acknowledged")
    port.write(frame(0x00, cells))
    got = []
    while len(got) < len(wanted):
        kind, payload = port.next_frame()
        if kind == 0x7F:
            continue
        port.write(frame(0x7F))
        got.append((kind, bytes(payload)))
    if got != wanted:
        sys.exit(f"serial_peer: keys {got}, expected {wanted}")


if __name__ == "__main__":
    main()

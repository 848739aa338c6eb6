#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_protocol: valid device answers for each operation.

Each file is [operation] [chunking] [device bytes]; see fuzz_protocol.cpp.
"""
import os
import struct
from functools import reduce

OP_RECEIVE, OP_HANDSHAKE, OP_GET_PARAMS, OP_GET_STATUS = 0, 1, 2, 3
OP_COUNT, OP_RETRIEVE, OP_KEEP_ALIVE, OP_REAL_TIME = 4, 5, 6, 7
ACCEPT = 0x80


def frame(packet, command, data=b""):
    head = bytes([0x02]) + struct.pack(">HH", packet, len(data) + 2) + bytes([command]) + data
    return head + bytes([reduce(lambda a, b: a ^ b, head, 0)])


def clock(y, mo, d, h, mi, s):
    return (y - 2000) << 26 | mo << 22 | d << 17 | h << 12 | mi << 6 | s


def handshake(din):
    return frame(7, 0x01, struct.pack("<IIHH", din, clock(2024, 3, 5, 14, 7, 9), 0xBEEF, 0x1234))


def header(blocks):
    return frame(0x10, 0x81, struct.pack("<HIBHH", blocks, clock(2024, 1, 2, 3, 4, 5), 7, 3, 4))


def block(number, samples):
    return frame(0x11, 0x82, bytes([number]) + b"".join(struct.pack("<H", v) for v in samples))


PARAMS = frame(1, 0xA3, struct.pack(">H", 94) + bytes(range(1, 61)) + bytes(32) + b"\xab\xcd")
STATUS = frame(2, 0xA4, struct.pack(">H", 28) + struct.pack("<IIHI", 1, 2, 3, clock(2024, 1, 2, 3, 4, 5))
               + bytes(range(14)))

SEEDS = {
    "receive-empty": (OP_RECEIVE, 0, frame(0, 0xB0)),
    "receive-long": (OP_RECEIVE, 0, frame(0x1234, 0x92, bytes(range(200)))),
    "receive-noise": (OP_RECEIVE, 0, b"\xff\x00\x41" + frame(3, 0xF1, b"\x02\x02")),
    "receive-bytewise": (OP_RECEIVE, 1, frame(4, 0xA4, b"\x01\x02\x03")),
    "receive-badlrc": (OP_RECEIVE, 3, frame(5, 0xA4, b"\x01\x02")[:-1] + b"\x00"
                       + frame(5, 0xA4, b"\x01\x02")),
    "receive-two": (OP_RECEIVE, 5, frame(6, 0xB0, b"\x01\x00") + frame(7, 0xB1)),
    "receive-oversize-head": (OP_RECEIVE, 0, bytes([0x02, 0, 1, 0x30, 0x00, 0x82]) + bytes(64)),
    # Larger than the 10240-byte receive buffer: dropped with NAK, then the next frame.
    "receive-oversize": (OP_RECEIVE, 0, frame(1, 0x82, bytes([0x02]) * 10300) + frame(2, 0xB0)),
    # A noise run longer than the buffer fails one receive; the frame comes with the next.
    "receive-longnoise": (OP_RECEIVE, 0, b"\xaa" * 10300 + frame(2, 0xB0, b"\x01\x00")),
    "handshake-accept": (OP_HANDSHAKE | ACCEPT, 0, handshake(1234)),
    "handshake-refuse": (OP_HANDSHAKE, 0, handshake(4294967295)),
    "handshake-chunked": (OP_HANDSHAKE | ACCEPT, 4, handshake(987654321)),
    "handshake-short": (OP_HANDSHAKE | ACCEPT, 0, frame(7, 0x01, bytes(11))),
    "handshake-other": (OP_HANDSHAKE | ACCEPT, 0, frame(7, 0xB0, b"\x05\x00")),
    "params": (OP_GET_PARAMS, 0, PARAMS),
    "params-chunked": (OP_GET_PARAMS, 7, PARAMS),
    "params-short": (OP_GET_PARAMS, 0, frame(1, 0xA3, b"\x00")),
    "status": (OP_GET_STATUS, 0, STATUS),
    "status-chunked": (OP_GET_STATUS, 9, STATUS),
    "status-wrong": (OP_GET_STATUS, 0, frame(2, 0xA3, bytes(30))),
    "count": (OP_COUNT, 0, frame(0, 0xB0, b"\x02\x01")),
    "count-short": (OP_COUNT, 0, frame(0, 0xB0, b"\x02")),
    "retrieve-empty": (OP_RETRIEVE, 0, header(0)),
    "retrieve-two": (OP_RETRIEVE, 0, header(2) + block(1, range(100)) + block(2, range(5))),
    "retrieve-chunked": (OP_RETRIEVE, 11, header(1) + block(1, range(30))),
    "retrieve-halfsample": (OP_RETRIEVE, 0, header(1) + frame(0x11, 0x82, b"\x01\x10\x00\x20")),
    "retrieve-stray": (OP_RETRIEVE, 0, header(2) + block(1, range(3)) + frame(0x12, 0xB0, b"\x01\x00")),
    "retrieve-manyblocks": (OP_RETRIEVE, 0, header(300)),
    "keepalive": (OP_KEEP_ALIVE, 0, frame(3, 0xF1)),
    "realtime": (OP_REAL_TIME, 2, frame(8, 0x92, b"\xaa\xbb")),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, (operation, chunking, payload) in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(bytes([operation, chunking]) + payload)


if __name__ == "__main__":
    main()

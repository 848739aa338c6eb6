#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>.

protocol:  [selector] [chunking] [device bytes]; see fuzz_protocol.cpp.
simreader: [pattern] [host bytes]; see fuzz_simreader.cpp.
params:    a parameter file's text; see fuzz_params.cpp.
"""
import json
import os
import struct
from functools import reduce

OP_RECEIVE, OP_HANDSHAKE, OP_GET_PARAMS, OP_GET_STATUS = 0, 1, 2, 3
OP_COUNT, OP_RETRIEVE, OP_KEEP_ALIVE, OP_REAL_TIME = 4, 5, 6, 7
OP_RECEIVE_UNACKNOWLEDGED = 8
ABORT_FLAG, LOG, ACCEPT = 0x20, 0x40, 0x80


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

PROTOCOL_SEEDS = {
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
    "unacknowledged-accept": (OP_RECEIVE_UNACKNOWLEDGED | ACCEPT, 0, frame(9, 0x82, b"\x01\x02\x03")),
    # Refused: the repeat that follows is refused too, the frame after the pause is new.
    "unacknowledged-refuse": (OP_RECEIVE_UNACKNOWLEDGED, 0, frame(9, 0x82, b"\x01\x02\x03") * 2),
    "retrieve-refused": (OP_RETRIEVE, 0, header(1) + block(1, range(4))),
    "retrieve-kept-logged": (OP_RETRIEVE | ACCEPT | LOG, 3, header(2) + block(1, range(9)) + block(2, range(2))),
    "receive-logged": (OP_RECEIVE | LOG, 0, b"\x55" + frame(3, 0xA4, b"\x01")[:-1] + b"\x00" + frame(3, 0xA4, b"\x01")),
    "handshake-logged": (OP_HANDSHAKE | ACCEPT | LOG, 0, handshake(42)),
    "params-logged": (OP_GET_PARAMS | LOG, 0, PARAMS),
    # The waits are cut into slices; the device falls silent half-way through a frame.
    "receive-sliced": (OP_RECEIVE | ABORT_FLAG, 2, frame(3, 0xB0, b"\x01\x00")[:5]),
    "status-sliced-logged": (OP_GET_STATUS | ABORT_FLAG | LOG, 0, STATUS),
}



def protocol_seeds():
    return {name: bytes([operation, chunking]) + payload
            for name, (operation, chunking, payload) in PROTOCOL_SEEDS.items()}


ACK, NAK = b"\x06", b"\x15"
PARAMS_FRAME = frame(1, 0xA2, bytes(range(94)))
FRAMES, CONTROL = 0x00, 0xFF


def simreader_seeds():
    seeds = {
        "frame": (FRAMES, frame(1, 0xA3)),
        "frames-noise": (FRAMES, b"\x41\x06" + frame(2, 0xB0) + b"\xff" + PARAMS_FRAME),
        "frame-badlrc": (FRAMES, frame(3, 0xA4)[:-1] + b"\x55" + frame(3, 0xA4)),
        # A start byte whose length is impossible (too long, below 2) is only noise.
        "frame-toolong": (FRAMES, bytes([0x02, 0, 1, 0x10, 0x03, 0xA2]) + frame(4, 0xB1)),
        "frame-tooshort": (FRAMES, bytes([0x02, 0, 1, 0x00, 0x01, 0xA2]) + frame(4, 0xB1)),
        "frame-largest": (FRAMES, frame(5, 0xA2, bytes(4096))),
        "frame-unfinished": (FRAMES, PARAMS_FRAME[:40]),
        "control": (CONTROL, b"\x41" + ACK + b"\x00" + NAK),
        "mixed": (0x55, ACK + frame(6, 0x92, b"\x01\x02") + NAK + frame(7, 0xF1, b"0000000007")),
    }
    return {name: bytes([pattern]) + payload for name, (pattern, payload) in seeds.items()}


VALID_PARAMS = {
    "param16a": [1, 2, 3, 4, 5], "param32a": 100000, "param32b": "0x0001F4A0",
    "param16b": 7, "param32c": 0, "param16c": [0, 0, 0, 0, 0, 0],
    "param32d": [0, 0, 0, 0, 0, 0], "crc16": "0xBEEF",
}


def with_field(name, value):
    changed = dict(VALID_PARAMS)
    if value is None:
        del changed[name]
    else:
        changed[name] = value
    return json.dumps(changed)


def params_seeds():
    seeds = {
        "valid": json.dumps(VALID_PARAMS, indent=2),
        "largest": json.dumps({
            "param16a": [65535, "0xffff", 0, "0x0", 1], "param32a": 4294967295,
            "param32b": " 0XFFFFFFFF ", "param16b": "0xFFFF", "param32c": 4294967295.0,
            "param16c": [65535] * 6, "param32d": ["0xFFFFFFFF"] * 6, "crc16": 65535}),
        "missing": with_field("crc16", None),
        "unknown": json.dumps(dict(VALID_PARAMS, param16d=1)),
        "array-short": with_field("param16c", [0] * 5),
        "fraction": with_field("param32a", 1.5),
        "negative": with_field("param16b", -1),
        "too-large": with_field("param16b", 65536),
        "exponent": with_field("param32a", 1e300),
        "hex-empty": with_field("crc16", "0x"),
        "hex-bad": with_field("param32b", "0xG1"),
        "hex-signed": with_field("param32b", "0x-1"),
        "wrong-type": with_field("param32c", [1]),
        "not-object": "[1, 2, 3]",
        "not-json": '{"param16a": [1, 2,',
        # A key named twice: the last value counts. Qt's parser leaks the array it drops.
        "duplicate-key": '{"param16c": [1], ' + json.dumps(VALID_PARAMS)[1:],
    }
    return {name: text.encode() for name, text in seeds.items()}


def write_corpus(target, seeds):
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", target)
    os.makedirs(out, exist_ok=True)
    for name, content in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(content)


def main():
    write_corpus("protocol", protocol_seeds())
    write_corpus("simreader", simreader_seeds())
    write_corpus("params", params_seeds())


if __name__ == "__main__":
    main()

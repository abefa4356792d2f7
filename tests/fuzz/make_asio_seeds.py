#!/usr/bin/env python3
"""Writes the seed corpus of the ASIO request fuzzer (tests/fuzz/asio-seeds/): the hostile table's
rows (every code at lengths 0, one short of its rule and oversized; 2^29 entries; handles) and
plausible owner sessions, in the input format of tests/fuzz/AsioFuzzBody.h."""
import os
import struct

CODES = ["GET_DRIVER_NAME", "GET_CHANNELS", "GET_CHANNEL_INFO", "GET_SAMPLE_TYPES", "GET_LATENCY_TABLE",
         "SET_EVENT", "GET_BUSY", "SET_SAMPLE_TYPE", "SET_LATENCY", "GET_LATENCIES", "GET_SAMPLE_RATE",
         "CAN_SAMPLE_RATE", "SET_SAMPLE_RATE", "GET_BUFFER_SIZE", "CREATE_BUFFERS", "DISPOSE_BUFFERS", "START",
         "STOP", "RELEASE_EVENT", "CAN_IO_FORMAT", "SET_IO_FORMAT", "GET_IO_FORMAT", "F812"]
RULE = {"SET_EVENT": 8, "GET_BUSY": 4, "SET_SAMPLE_TYPE": 4, "SET_LATENCY": 4, "GET_LATENCIES": 8,
        "GET_SAMPLE_RATE": 4, "CAN_SAMPLE_RATE": 4, "SET_SAMPLE_RATE": 4, "GET_BUFFER_SIZE": 16,
        "CREATE_BUFFERS": 12, "START": 8, "CAN_IO_FORMAT": 4, "SET_IO_FORMAT": 4, "GET_IO_FORMAT": 4,
        "GET_CHANNELS": 16, "GET_CHANNEL_INFO": 52, "GET_LATENCY_TABLE": 40}


def request(name, data=b"", out=0, second=False, wait=False, length=None):
    head = CODES.index(name) | (0x80 if second else 0) | (0x40 if wait else 0)
    n = len(data) if length is None else length
    return struct.pack("<BHH", head, n, out) + data


def power(state):
    return struct.pack("<BHH", 60 if state == "D3" else 62, 0, 0)


def create(entries, frames=256):
    body = struct.pack("<III", 0, len(entries), frames)
    for is_input, channel in entries:
        body += struct.pack("<Ii", is_input, channel)
    return body


EVENT = b"\xee" + b"\0" * 7
seeds = {}
for name in CODES:
    rule = RULE.get(name, 1)
    seeds["lengths-" + name.lower()] = (request(name, b"", 0) + request(name, b"\xff" * (rule - 1), rule - 1) +
                                        request(name, b"\xff" * 299, 299))
seeds["owner-session"] = (request("SET_EVENT", EVENT) + request("CREATE_BUFFERS", create([(0, 0), (0, 1), (1, 0)]), 16) +
                          request("START", EVENT) + request("GET_BUSY", out=4, wait=True) +
                          request("SET_LATENCY", struct.pack("<i", 2), 8, wait=True) + request("STOP") +
                          request("DISPOSE_BUFFERS"))
seeds["entries-2-29"] = request("CREATE_BUFFERS", struct.pack("<III", 0, 0x20000000, 64) + b"\0" * 8, 16)
seeds["non-owner"] = (request("CREATE_BUFFERS", create([(0, 0)]), 16) + request("START", EVENT, second=True) +
                      request("STOP", second=True) + request("DISPOSE_BUFFERS", second=True) +
                      request("START", EVENT, wait=True) + request("DISPOSE_BUFFERS", wait=True))
seeds["second-32-bit-owner"] = (request("CREATE_BUFFERS", create([(1, 0)], 96), 8, second=True) +
                                request("START", b"\xee" + b"\0" * 7, second=True) +
                                request("GET_CHANNEL_INFO", struct.pack("<ii", 0, 1) + b"\0" * 44, 52, wait=True))
seeds["settings"] = (request("SET_SAMPLE_TYPE", struct.pack("<i", 18)) + request("SET_SAMPLE_RATE", struct.pack("<i", 48000)) +
                     request("CAN_IO_FORMAT", struct.pack("<i", 1)) + request("GET_SAMPLE_TYPES", out=28) +
                     request("GET_DRIVER_NAME", out=5) + request("GET_BUFFER_SIZE", out=16))
seeds["power"] = (request("CREATE_BUFFERS", create([(0, 0), (1, 0)]), 16) + request("START", EVENT) +
                  power("D3") + request("STOP") + request("GET_BUSY", out=4) + power("D0") +
                  request("START", EVENT, wait=True) + power("D3") + request("DISPOSE_BUFFERS") + power("D0") +
                  request("CREATE_BUFFERS", create([(0, 0)]), 16) + power("D3") + request("START", EVENT) +
                  power("D0") + request("STOP", wait=True) + power("D3") + request("STOP", second=True))

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "asio-seeds")
os.makedirs(here, exist_ok=True)
for name, data in seeds.items():
    with open(os.path.join(here, name + ".bin"), "wb") as f:
        f.write(data)

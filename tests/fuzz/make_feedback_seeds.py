#!/usr/bin/env python3
"""Writes the feedback fuzzer's seeds into feedback-seeds/ (see FeedbackFuzzBody.h for the layout):
byte 0 speed, ms per transfer and rate; byte 1 transfers queued; then scripted feedback packets."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
RATES = {44100: 0, 48000: 1, 96000: 2}


def head(high_speed, ms, rate, queued=3):
    return bytes([(1 if high_speed else 0) | ((ms - 1) << 1) | (RATES[rate] << 4), queued - 2])


def value(raw, size):
    return bytes([size << 2]) + struct.pack('<I', raw)[:size] + b'\0' * max(0, size - 4)


EMPTY = bytes([1])
FAILED = bytes([2])


def write(name, data):
    with open(os.path.join(HERE, 'feedback-seeds', name + '.bin'), 'wb') as f:
        f.write(data)


def main():
    os.makedirs(os.path.join(HERE, 'feedback-seeds'), exist_ok=True)
    # 10.14 at full speed: 44.1 kHz exactly, and the report 500 above that one value doubles.
    write('fs-44100-nominal', head(False, 5, 44100) + value(0x0B0640, 3) * 20)
    write('fs-44600-one-ms', head(False, 1, 44100) + value(0x0B2640, 3) * 30)
    write('fs-48000-long-values', head(False, 4, 48000) + value(0x0C0000, 7) * 12)
    # 16.16 at high speed: extremes, short, empty and failed packets, 96 kHz.
    write('hs-48000-extremes', head(True, 5, 48000, 5) + (value(0, 4) + value(0xFFFFFFFF, 4)) * 10)
    write('hs-48000-short-empty-failed',
          head(True, 5, 48000) + (value(0x60189, 2) + EMPTY + FAILED + value(0x60189, 4)) * 6)
    write('hs-96000-edges', head(True, 2, 96000, 4) + (value(0xC0000 + 0x1000, 4) + value(0xC0000 - 0x2000, 4)) * 10)


if __name__ == '__main__':
    main()

#!/usr/bin/env python3
"""Writes samples/sine-440hz-48k-16bit-stereo.wav: 2 s of a 440 Hz sine at half full scale,
48 kHz, 16-bit, stereo (both channels alike), with the standard library only.

    python3 scripts/make_sample.py [OUTPUT]
"""
import math
import os
import struct
import sys
import wave

RATE = 48000
SECONDS = 2
FREQUENCY = 440.0
AMPLITUDE = 0.5 * 32767


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "samples", "sine-440hz-48k-16bit-stereo.wav")
    frames = bytearray()
    for n in range(RATE * SECONDS):
        value = int(round(AMPLITUDE * math.sin(2 * math.pi * FREQUENCY * n / RATE)))
        frames += struct.pack("<hh", value, value)
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main()

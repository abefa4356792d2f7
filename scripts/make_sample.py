#!/usr/bin/env python3
"""Writes the samples: 2 s of a 440 Hz sine at half full scale, 48 kHz, 16-bit, with the standard
library only.

    samples/sine-440hz-48k-16bit-stereo.wav   stereo, both channels alike
    samples/sine-440hz-48k-16bit-8ch.wav      8 channels, the sine in channels 0 and 1, the rest silent

    python3 scripts/make_sample.py [OUTPUT_DIRECTORY]
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


def write(path, channels):
    frames = bytearray()
    for n in range(RATE * SECONDS):
        value = int(round(AMPLITUDE * math.sin(2 * math.pi * FREQUENCY * n / RATE)))
        frames += struct.pack("<hh", value, value) + bytes(2 * (channels - 2))
    with wave.open(path, "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "samples")
    write(os.path.join(folder, "sine-440hz-48k-16bit-stereo.wav"), 2)
    write(os.path.join(folder, "sine-440hz-48k-16bit-8ch.wav"), 8)


if __name__ == "__main__":
    main()

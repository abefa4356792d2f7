#!/usr/bin/env python3
"""Writes the start fuzzer's seeds into seeds/: each UAC1 profile's configuration with its control
replies as a reply script, and hostile variations of them. Run again after a profile changes."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
PROFILES = os.path.join(HERE, '..', '..', 'sim', 'profiles')
MARKER = b'RPLY'


def record(request_type, request, value, index, reply):
    head = struct.pack('<BBHH', request_type, request, value, index)
    if reply is None:
        return head + b'\xff'
    return head + bytes([len(reply)]) + bytes(reply)


def profile(name):
    with open(os.path.join(PROFILES, name)) as f:
        p = json.load(f)
    blob = bytes.fromhex(p['descriptorsHex'].replace(' ', ''))
    configuration = blob[18:]
    script = b''
    for r in p.get('requests', []):
        setup = bytes.fromhex(r['setup'].replace(' ', ''))
        script += setup[:6] + bytes.fromhex(r['reply'].replace(' ', '')).__len__().to_bytes(1, 'little')
        script += bytes.fromhex(r['reply'].replace(' ', ''))
    for c in p.get('controls', []):
        channels = range(0, 3) if c['channel'] == '*' else [c['channel']]
        for ch in channels:
            for request, key in ((0x81, 'cur'), (0x82, 'min'), (0x83, 'max'), (0x84, 'res')):
                script += record(0xA1, request, (c['selector'] << 8) | ch, c['unit'] << 8,
                                 struct.pack('<h', c[key]))
    return configuration, script


def write(name, configuration, script=b'', chip=None):
    with open(os.path.join(HERE, 'seeds', name), 'wb') as f:
        f.write(configuration + (b'CHIP' + chip.encode('utf-16-le') if chip is not None else b'')
                + (MARKER + script if script else b''))


def patch(configuration, at, value):
    b = bytearray(configuration)
    b[at] = value
    return bytes(b)


def find(configuration, subtype, descriptor_type=0x24, nth=0):
    at = 0
    while at + 2 < len(configuration):
        if configuration[at + 1] == descriptor_type and configuration[at + 2] == subtype:
            if nth == 0:
                return at
            nth -= 1
        at += max(configuration[at], 1)
    raise ValueError(subtype)


def main():
    for name in ('uac1-headset', 'uac1-speaker-selector', 'uac1-microphone'):
        configuration, script = profile(name + '.json')
        write(name + '.bin', configuration, script)
    headset, script = profile('uac1-headset.json')
    # Lengths: a terminal claiming 0 and 1 bytes mid-walk, wTotalLength above and below the bytes.
    it = find(headset, 2)
    write('hostile-blength-0.bin', patch(headset, it, 0), script)
    write('hostile-blength-1.bin', patch(headset, it, 1), script)
    write('hostile-total-above.bin', patch(headset, 3, headset[3] + 1), script)
    write('hostile-total-below.bin', patch(headset, 2, (headset[2] - 5) & 0xFF), script)
    # A feature unit fed by itself, and one fed by a unit that does not exist.
    fu = find(headset, 6)
    write('hostile-self-loop.bin', patch(headset, fu + 4, headset[fu + 3]), script)
    write('hostile-dangling-source.bin', patch(headset, fu + 4, 0xEE), script)
    # Formats: no channels, subframe 5, resolution past the subframe, a discrete rate of 0 Hz.
    at = 0
    formats = []
    while at + 2 < len(headset):
        if headset[at + 1] == 0x24 and headset[at + 2] == 2 and headset[at] >= 8 and headset[at + 3] == 1 \
                and headset[at] != 12:
            formats.append(at)
        at += max(headset[at], 1)
    f = formats[0]
    write('hostile-no-channels.bin', patch(headset, f + 4, 0), script)
    write('hostile-subframe-5.bin', patch(headset, f + 5, 5), script)
    write('hostile-resolution.bin', patch(headset, f + 6, 0xFF), script)
    zero = bytearray(headset)
    zero[f + 8:f + 11] = b'\0\0\0'
    write('hostile-rate-0.bin', bytes(zero), script)
    # Replies: every terminal request answered short, and a jack count promising more than sent.
    short = b''.join(record(0xC1, 0x81, v, i, [0x09]) for v, i in ((0x02FF, 0x0600), (0x02FF, 0x0200)))
    write('hostile-short-replies.bin', headset, short)
    write('hostile-jack-count.bin', headset, record(0xC1, 0x81, 0x02FF, 0x0600, [0x7F, 3, 0, 0, 0, 0, 0x10, 1, 1]))

    # The chip-variant profiles, each with its chip string as a raw reply at index 0x50 (the body's
    # own string names no variant).
    for name in ('v4-headset', 'v5-headset', 'v6-effects-headset'):
        configuration, script = profile(name + '.json')
        with open(os.path.join(PROFILES, name + '.json')) as f:
            strings = json.load(f)['strings']
        chip = next(text for text in strings.values() if text.startswith('73'))
        text = chip.encode('utf-16-le')
        script += record(0x80, 0x06, 0x0350, 0x0409, bytes([2 + len(text), 3]) + text)
        write(name + '.bin', configuration, script)

    # The UAC2 profiles (their clocks answer from the class model), and hostile variations of the
    # headset: a terminal clocked by no unit, a unit fed by the clock, a unit fed by itself, no
    # channels, a 5-byte subslot, a clock selector in place of the clock.
    for name in ('uac2-headset', 'uac2-headset-fs', 'uac2-clock-selector'):
        configuration, script = profile(name + '.json')
        write(name + '.bin', configuration, script)
    uac2, script = profile('uac2-headset.json')
    it = find(uac2, 2)
    write('hostile-uac2-clock-none.bin', patch(uac2, it + 7, 0xEE), script)
    fu = find(uac2, 6)
    write('hostile-uac2-source-clock.bin', patch(uac2, fu + 4, uac2[find(uac2, 0x0A) + 3]), script)
    write('hostile-uac2-self-loop.bin', patch(uac2, fu + 4, uac2[fu + 3]), script)
    general = find(uac2, 1, nth=1)  # the first AS_GENERAL (the AudioControl header is the first subtype 1)
    write('hostile-uac2-no-channels.bin', patch(uac2, general + 10, 0), script)
    # The first FORMAT_TYPE comes after the two input terminals (subtype 2 as well).
    write('hostile-uac2-subslot-5.bin', patch(uac2, find(uac2, 2, nth=2) + 4, 5), script)
    write('hostile-uac2-clock-selector.bin', patch(uac2, find(uac2, 0x0A) + 2, 0x0B), script)
    # The configuration ends in a descriptor of 2 or 3 bytes of the interface or endpoint type.
    for name, tail in (('hostile-uac2-tail-interface.bin', b'\x02\x04'),
                       ('hostile-uac2-tail-endpoint.bin', b'\x03\x05\x81')):
        grown = bytearray(uac2 + tail)
        grown[2:4] = len(grown).to_bytes(2, 'little')
        write(name, bytes(grown), script)


    # The V3 chip: its two profiles with the chip string, and templates that are not quite the
    # template (cut short, a lying total, a unit of another id, a render setting of another length).
    v3chip = '\u000b\u0005P-7302'
    for name in ('v3-sound-card', 'v3-jack-headset'):
        configuration, script = profile(name + '.json')
        write(name + '.bin', configuration, script, v3chip)
    v3, script = profile('v3-sound-card.json')
    cut = bytearray(v3[:400])
    cut[2:4] = len(cut).to_bytes(2, 'little')
    write('hostile-v3-cut.bin', bytes(cut), script, v3chip)
    write('hostile-v3-total-below.bin', patch(v3, 3, 0x01), script, v3chip)
    write('hostile-v3-other-id.bin', patch(v3, 52 + 3, 0x21), script, v3chip)
    write('hostile-v3-other-length.bin', patch(v3, 227, 10), script, v3chip)
    write('hostile-v3-ident-stall.bin', v3, record(0xC3, 0x81, 0, 8, None), v3chip)


if __name__ == '__main__':
    main()

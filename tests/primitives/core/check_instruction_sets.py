#!/usr/bin/env python3
"""Disassembles the primitive library and checks which instruction sets each function uses.

Only the processor-specific slot code and the detection code may go beyond the x86-64 baseline
(SSE2), each slot no further than its class: slot 1 SSE3, slot 2 SSSE3, slot 3 SSE4.1. No code
uses SSE4.2 or any AVX encoding. The elementary math kernels need no more than SSE3 in any slot,
bar the one vector test (ptest) of the slot-3 float square root. Non-temporal stores are weakly ordered: a function that issues
any must also hold a store fence (sfence or mfence), or a caller could read stale memory.

usage: check_instruction_sets.py OBJDUMP LIBRARY
"""
import re
import subprocess
import sys

SSE3 = {"addsubps", "addsubpd", "haddps", "haddpd", "hsubps", "hsubpd", "lddqu", "movddup", "movshdup",
        "movsldup", "fisttp", "fisttps", "fisttpl", "fisttpll", "monitor", "mwait"}
SSSE3 = {"pshufb", "phaddw", "phaddd", "phaddsw", "phsubw", "phsubd", "phsubsw", "pmaddubsw", "pmulhrsw",
         "psignb", "psignw", "psignd", "pabsb", "pabsw", "pabsd", "palignr"}
SSE41 = {"blendps", "blendpd", "blendvps", "blendvpd", "pblendvb", "pblendw", "dpps", "dppd", "extractps",
         "insertps", "movntdqa", "mpsadbw", "packusdw", "pcmpeqq", "pextrb", "pextrd", "pextrq", "phminposuw",
         "pinsrb", "pinsrd", "pinsrq", "pmaxsb", "pmaxsd", "pmaxud", "pmaxuw", "pminsb", "pminsd", "pminud",
         "pminuw", "pmuldq", "pmulld", "ptest", "roundps", "roundpd", "roundss", "roundsd"}
SSE41_PREFIXES = ("pmovsx", "pmovzx")
BEYOND = {"pcmpestri", "pcmpestrm", "pcmpistri", "pcmpistrm", "pcmpgtq", "crc32", "popcnt", "andn", "bextr",
          "blsi", "blsmsk", "blsr", "bzhi", "lzcnt", "tzcnt", "pdep", "pext", "rorx", "sarx", "shlx", "shrx"}

# Weakly ordered stores, and the fences that order them.
NON_TEMPORAL = {"movntps", "movntpd", "movntdq", "movnti", "movntq", "movntss", "movntsd", "maskmovdqu",
                "maskmovq"}
FENCES = {"sfence", "mfence"}

LEVEL_OF_SLOT = {"Sse3Variant::": 1, "Ssse3Variant::": 2, "Sse41Variant::": 3}
# The math kernels and slot bodies, and their one SSE4.1 instruction.
MATH = re.compile(r"^(?:Sse3|Ssse3|Sse41)Variant::(?:ExponentialKernel|ExponentialInPlace\w*|NaturalLog\w*|"
                  r"ScaleFactorToFloat|SquareRoot\w*|ComplexSquareRoot\w*|TranslateBytesKernel)\(")
MATH_EXCEPTION = ("Sse41Variant::SquareRootKernel(", "ptest")
DETECTION = ("CpuidPresent", "ReadCpuid", "DetectCpuType", "ReadTimeStampCounter")


def level(mnemonic, operands):
    """0 baseline, 1 SSE3, 2 SSSE3, 3 SSE4.1, 9 beyond every slot."""
    if mnemonic in BEYOND or "%ymm" in operands or "%zmm" in operands:
        return 9
    if mnemonic.startswith("v") and "%xmm" in operands:
        return 9  # VEX encoding: AVX
    if mnemonic in SSE41 or mnemonic.startswith(SSE41_PREFIXES):
        return 3
    if mnemonic in SSSE3:
        return 2
    if mnemonic in SSE3:
        return 1
    return 0


# A demangled template instance starts with its return type: skip one plain leading word.
OWNER = re.compile(r"^(?:[\w ]*\s)?((?:Sse3|Ssse3|Sse41)Variant::|[A-Za-z]+)")


def allowed(function, mnemonic):
    if MATH.match(function):
        return 3 if (function.startswith(MATH_EXCEPTION[0]) and mnemonic == MATH_EXCEPTION[1]) else 1
    m = OWNER.match(function)
    owner = m.group(1) if m else ""
    if owner in LEVEL_OF_SLOT:
        return LEVEL_OF_SLOT[owner]
    if owner.startswith(DETECTION):
        return 1
    return 0


def main():
    objdump, library = sys.argv[1], sys.argv[2]
    text = subprocess.run([objdump, "-d", "-C", "--no-show-raw-insn", library], check=True, capture_output=True,
                          text=True).stdout
    header = re.compile(r"^[0-9a-f]+ <(.*)>:$")
    insn = re.compile(r"^\s+[0-9a-f]+:\s+(?:(?:rep|repz|repnz|lock|notrack|bnd|data16|cs|ds)\s+)*([a-z0-9.]+)\s*(.*)$")
    function = ""
    failures = []
    counted = {1: 0, 2: 0, 3: 0}
    streaming = {}  # function -> [non-temporal stores seen, fence seen]
    for line in text.splitlines():
        m = header.match(line)
        if m:
            function = m.group(1)
            continue
        m = insn.match(line)
        if not m:
            continue
        mnemonic = m.group(1)
        if mnemonic in NON_TEMPORAL or mnemonic.lstrip("v") in NON_TEMPORAL or mnemonic in FENCES:
            seen = streaming.setdefault(function, [0, False])
            if mnemonic in FENCES:
                seen[1] = True
            else:
                seen[0] += 1
        used = level(mnemonic, m.group(2))
        if used == 0:
            continue
        if used <= 3:
            counted[used] += 1
        if used > allowed(function, mnemonic):
            failures.append(f"{function}: {m.group(1)} {m.group(2)}")
    unfenced = [f for f, (stores, fenced) in streaming.items() if stores and not fenced]
    for failure in failures[:40]:
        print("beyond its class:", failure)
    for function in unfenced[:40]:
        print("non-temporal stores without a store fence:", function)
    if failures or unfenced:
        return 1
    # The slot code must really be built for its class, or the check proves nothing.
    if counted[2] == 0 or counted[3] == 0:
        print("no SSSE3 or SSE4.1 instruction found: slot code not built for its class?", counted)
        return 1
    print("ok:", counted, "functions with non-temporal stores:", sum(1 for v in streaming.values() if v[0]))
    return 0


if __name__ == "__main__":
    sys.exit(main())

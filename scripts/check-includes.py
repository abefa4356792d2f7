#!/usr/bin/env python3
"""Include checks over the compile database, one compiler run per translation unit, in parallel.

  scripts/check-includes.py BUILD_DIR rings    every include follows the rings (no circle)
  scripts/check-includes.py BUILD_DIR kernel   kernel code reaches freestanding headers only

rings: inside the driver each folder may include only those below it,
    adapter/driver -> usb -> asio -> stream -> topology -> dsp -> globaltopo/common/JQZ
    -> adapter -> primitives -> platform;
host/ and sim/ include the platform only, the platform includes nothing above it, driver and
primitive code never includes a header for tests and the host (*Host.h); tools/, tests/ and
bench/ may include anything. Checked on every source and header of those folders, whether a
translation unit reaches it or not.

kernel: the driver and the primitives use only the freestanding standard headers (and the
compiler's intrinsics), not even through a platform header: every project file a kernel
translation unit reaches includes only those, and the standard headers the unit reaches are
all within what those headers pull in themselves.
"""
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

# From the top of the driver down; a folder may include itself and anything after it.
RINGS = ["adapter/driver", "usb", "asio", "stream", "topology", "dsp", "globaltopo", "adapter",
         "primitives", "platform"]
# Outside the driver: what each folder may include besides itself.
OTHERS = {"host": {"platform"}, "sim": {"platform"}}
FREE = {"tools", "tests", "bench"}
KERNEL = set(RINGS) - {"platform"}

FREESTANDING = {"cstdint", "cstddef", "cstring", "cmath", "climits", "new", "type_traits",
                # va_list, for the string routines' formatting
                "cstdarg",
                # the C forms, for the primitives' C header
                "stdint.h", "stddef.h", "stdarg.h"}
INTRINSICS = re.compile(r"^([a-z0-9]+intrin\.h|cpuid\.h)$")

QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
ANGLED = re.compile(r"^\s*#\s*include\s*<([^>]+)>", re.M)


def folder_of(rel):
    """The ring or folder a project path belongs to (None outside the checked folders)."""
    best = None
    for name in RINGS + list(OTHERS) + list(FREE):
        if rel == name or rel.startswith(name + "/"):
            if best is None or len(name) > len(best):
                best = name
    return best


def may_include(src, dst, dst_rel):
    if src in FREE:
        return True
    if src in KERNEL and os.path.basename(dst_rel).endswith("Host.h"):
        return False
    if src == dst:
        return True
    if src in OTHERS:
        return dst in OTHERS[src]
    if src in RINGS and dst in RINGS:
        return RINGS.index(dst) > RINGS.index(src)
    return False


def compile_args(entry):
    """The unit's own command, asking for the list of headers it reaches instead of an object."""
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    out, skip = [], False
    for a in args:
        if skip:
            skip = False
            continue
        if a in ("-o", "-MF", "-MT", "-MQ"):
            skip = True
            continue
        if a in ("-c", "-MD", "-MMD"):
            continue
        out.append(a)
    return out


def reached(entry, args):
    """Every file the unit reaches, as absolute paths (the unit itself first)."""
    run = subprocess.run(args + ["-M", "-MG"], cwd=entry["directory"], capture_output=True, text=True)
    if run.returncode != 0:
        return None, run.stderr
    words = run.stdout.replace("\\\n", " ").split()
    files = [os.path.normpath(os.path.join(entry["directory"], w)) for w in words if not w.endswith(":")]
    return files, ""


def resolve(top, including, name):
    # As the compiler looks a quoted name up: beside the including file, then from the top.
    for base in (os.path.dirname(including), top):
        path = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(path):
            return path
    return None


def project_files(top):
    for folder in RINGS + list(OTHERS):
        for root, _, names in os.walk(os.path.join(top, folder)):
            for n in names:
                if n.endswith((".h", ".cpp", ".c")):
                    yield os.path.join(root, n)


def check_rings(top, units):
    files = set(project_files(top))
    for _, reach in units:
        files.update(p for p in reach if p.startswith(top + "/"))
    faults = []
    for path in sorted(files):
        rel = os.path.relpath(path, top)
        src = folder_of(rel)
        if src is None or src in FREE:
            continue
        text = open(path, encoding="utf-8", errors="replace").read()
        for name in QUOTED.findall(text):
            target = resolve(top, path, name)
            if target is None or not target.startswith(top + "/"):
                continue
            dst_rel = os.path.relpath(target, top)
            dst = folder_of(dst_rel)
            if not may_include(src, dst, dst_rel):
                faults.append(f"{rel}: includes {dst_rel} ({src} may not include {dst or 'that folder'})")
    for f in faults:
        print(f)
    if faults:
        print(f"{len(faults)} include(s) against the rings")
        return 1
    print("includes follow the rings")
    return 0


def allowed_closure(entry, args, cache):
    """The standard headers the freestanding ones and the intrinsics reach with this unit's flags."""
    flags = [a for a in args[1:] if a.startswith(("-std", "-m", "-f", "-D", "-U", "-I", "-isystem"))]
    key = (args[0],) + tuple(flags)
    if key not in cache:
        probe = "".join(f"#include <{h}>\n" for h in sorted(FREESTANDING) + ["x86intrin.h", "cpuid.h"])
        run = subprocess.run([args[0]] + flags + ["-x", "c++", "-", "-M", "-MG"], input=probe,
                             cwd=entry["directory"], capture_output=True, text=True)
        words = run.stdout.replace("\\\n", " ").split()
        cache[key] = {os.path.normpath(w) for w in words if not w.endswith(":")}
    return cache[key]


def check_kernel(top, units, entries):
    faults = []
    direct = {}
    cache = {}
    for (entry, args), (rel, reach) in zip(entries, units):
        if folder_of(rel) not in KERNEL:
            continue
        closure = allowed_closure(entry, args, cache)
        outside = sorted({os.path.basename(p) for p in reach
                          if not p.startswith(top + "/") and p not in closure and "/c++/" in p
                          and "." not in os.path.basename(p)})
        if outside:
            faults.append(f"{rel}: reaches <{'>, <'.join(outside)}>")
        for p in reach:
            if p.startswith(top + "/") and p not in direct:
                text = open(p, encoding="utf-8", errors="replace").read()
                direct[p] = [h for h in ANGLED.findall(text) if h not in FREESTANDING and not INTRINSICS.match(h)]
    for p, bad in sorted(direct.items()):
        if bad:
            faults.append(f"{os.path.relpath(p, top)}: includes <{'>, <'.join(bad)}>, reached by kernel code")
    for f in faults:
        print(f)
    if faults:
        print(f"{len(faults)} place(s) where kernel code goes beyond the freestanding headers")
        return 1
    print("kernel-code includes: freestanding only")
    return 0


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in ("rings", "kernel"):
        print(__doc__)
        return 2
    build, what = sys.argv[1], sys.argv[2]
    top = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    db = json.load(open(os.path.join(build, "compile_commands.json")))
    wanted = KERNEL if what == "kernel" else set(RINGS) | set(OTHERS)
    entries = []
    for entry in db:
        path = os.path.realpath(entry["file"])
        rel = os.path.relpath(path, top)
        if rel.startswith("..") or folder_of(rel) not in wanted:
            continue
        entries.append((entry, compile_args(entry)))
    units, failed = [], 0
    with ThreadPoolExecutor(max_workers=min(8, os.cpu_count() or 1)) as pool:
        for (entry, _), (files, error) in zip(entries, pool.map(lambda e: reached(e[0], e[1]), entries)):
            rel = os.path.relpath(os.path.realpath(entry["file"]), top)
            if files is None:
                print(f"{rel}: could not list its headers:\n{error}")
                failed += 1
                files = []
            units.append((rel, files))
    if what == "rings":
        result = check_rings(top, units)
    else:
        result = check_kernel(top, units, entries)
    return 1 if failed else result


if __name__ == "__main__":
    sys.exit(main())

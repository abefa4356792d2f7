#!/usr/bin/env bash
# Kernel code (the driver and the primitives) must not pull in standard containers, strings,
# threads or locks, not even through a platform header. Lists, for every translation unit of
# those folders in compile_commands.json, the standard headers it reaches, and fails on any of
# the forbidden ones.
#   scripts/check-kernel-includes.sh BUILD_DIR
set -euo pipefail
build=${1:?build directory}
top=$(cd "$(dirname "$0")/.." && pwd)
python3 - "$build/compile_commands.json" "$top" <<'PY'
import json, os, re, shlex, subprocess, sys
db, top = sys.argv[1], sys.argv[2]
kernel = ("adapter/", "usb/", "stream/", "asio/", "topology/", "dsp/", "globaltopo/", "primitives/")
forbidden = {"string", "vector", "map", "functional", "thread", "mutex"}
bad = 0
for entry in json.load(open(db)):
    rel = os.path.relpath(entry["file"], top)
    if not rel.startswith(kernel) or not rel.endswith(".cpp"):
        continue
    args = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
    # Keep the compiler and its flags, drop the output, and ask for the header list only.
    out = []
    skip = False
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
    deps = subprocess.run(out + ["-M", "-MG"], cwd=entry["directory"], capture_output=True, text=True)
    if deps.returncode != 0:
        print(f"{rel}: could not list its headers:\n{deps.stderr}")
        bad += 1
        continue
    hits = sorted({os.path.basename(p) for p in deps.stdout.replace("\\\n", " ").split()
                   if re.search(r"/c\+\+/[^/]+/[a-z_]+$", p) and os.path.basename(p) in forbidden})
    if hits:
        print(f"{rel}: reaches <{'>, <'.join(hits)}>")
        bad += 1
if bad:
    print(f"{bad} kernel-code file(s) reach standard containers, strings, threads or locks")
    sys.exit(1)
print("kernel-code includes: clean")
PY

#!/usr/bin/env bash
# Seed corpora from real fasm output: every test program and the example,
# assembled now; the whole-run seeds pair each .fas with its object, once
# as the default run and once with the procedure records.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1" && out=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$root"/tests/programs/* "$root"/examples/*.asm "$root"/examples/*.inc "$work"
mkdir -p "$out/fas" "$out/coff" "$out/whole"
cd "$work"
for source in *.asm; do
  name=${source%.asm}
  "$root/scripts/fasm" "$source" "$name.obj" -s "$name.fas" >/dev/null 2>&1 || continue
  cp "$name.fas" "$out/fas/$name"
  cp "$name.obj" "$out/coff/$name"
  python3 - "$name.fas" "$name.obj" "$out/whole/$name" <<'PY'
import struct, sys
fas = open(sys.argv[1], "rb").read()
obj = open(sys.argv[2], "rb").read()
open(sys.argv[3], "wb").write(struct.pack("<I", len(fas)) + fas + obj)
open(sys.argv[3] + ".procedures", "wb").write(struct.pack("<I", len(fas) | 0x80000000) + fas + obj)
PY
done

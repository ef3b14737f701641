#!/usr/bin/env bash
# The whole pipeline on the bundled example: assemble with fasm, weld with
# symweld, link with lld-link into an .exe and a .pdb, show what the PDB
# holds, map addresses back to source lines, and run the program.
set -euo pipefail
symweld=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=${DEMO_DIR:-$(dirname "$symweld")/demo}
# The tools of the oldest LLVM installed (the release's own), lldb of the
# newest.
tool() { "$here/../scripts/llvm-tool" "$1"; }

rm -rf "$work" && mkdir -p "$work" && cp "$here"/*.asm "$here"/*.inc "$here"/kernel32.def "$work"
cd "$work"
current_step="copying the example"
step() { current_step=$*; printf '\n== %s\n' "$*"; }
# A step that fails says so, with the step's name and the exit code, so
# that the demo never ends without saying why.
trap 'status=$?; echo "demo: failed at \"$current_step\" (exit code $status)" >&2' ERR

echo "LLVM versions installed: $("$here/../scripts/llvm-tool" --versions) (the oldest links and reads, the newest debugs)"
step "fasm hello.asm hello.obj -s hello.fas"
"$here/../scripts/fasm" hello.asm hello.obj -s hello.fas

step "symweld hello.fas hello.obj hello_d.obj"
"$symweld" hello.fas hello.obj hello_d.obj
echo "sections of hello_d.obj:"
"$(tool llvm-readobj)" --sections hello_d.obj | grep -E '^\s+Name:' | sed 's/^ */  /'

step "lld-link /debug hello_d.obj kernel32.lib -> hello.exe, hello.pdb"
"$(tool llvm-dlltool)" -m i386 -d kernel32.def -l kernel32.lib -k
"$(tool lld-link)" /nologo /debug /safeseh:no /subsystem:console /entry:start /nodefaultlib \
  /out:hello.exe /pdb:hello.pdb hello_d.obj kernel32.lib
ls -l hello.exe hello.pdb

# Every tool's whole output is read before it is searched: a reader that
# stops early would kill the writer with a broken pipe.
# Only the first module is ours; the others are the linker's and KERNEL32's.
first_module() { awk '/Mod 0001/{exit} /Mod 0000/{on=1} on{print}' <<<"$1"; }
step "llvm-pdbutil dump -l hello.pdb: the line table"
lines=$("$(tool llvm-pdbutil)" dump -l hello.pdb)
first_module "$lines"
step "llvm-pdbutil dump -symbols hello.pdb: labels and data"
symbols=$("$(tool llvm-pdbutil)" dump -symbols hello.pdb)
first_module "$symbols"
label_offset() { sed -n "/S_LABEL32 .*\`$1\`/{s/.*addr = 0001:0*\([0-9]*\)).*/\1/p;q}" <<<"$symbols"; }

step "llvm-symbolizer: addresses back to file and line"
base=0x401000
for label in start open_console; do
  offset=$(label_offset "$label")
  address=$(printf '0x%x' $((base + ${offset:-0})))
  located=$("$(tool llvm-symbolizer)" --obj=hello.exe "$address")
  printf '%s at %s -> %s\n' "$label" "$address" "$(sed -n 2p <<<"$located")"
done

if lldb=$("$here/../scripts/llvm-tool" lldb newest); then
  line=$(grep -n 'call    finish' hello.asm | cut -d: -f1)
  step "lldb: a breakpoint by file and line, a data label with its type"
  "$lldb" --no-lldbinit --batch hello.exe \
    -o "breakpoint set --file hello.asm --line $line" \
    -o "image lookup --verbose --address $(printf '0x%x' $((base + $(label_offset start))))" \
    -o "target variable greeting small_total big_total" </dev/null
fi

step "symweld --procedures hello.fas hello.obj hello_p.obj, linked -> hello_p.exe, hello_p.pdb"
"$symweld" --procedures hello.fas hello.obj hello_p.obj
"$(tool lld-link)" /nologo /debug /safeseh:no /subsystem:console /entry:start /nodefaultlib \
  /out:hello_p.exe /pdb:hello_p.pdb hello_p.obj kernel32.lib
procedures=$("$(tool llvm-pdbutil)" dump -symbols hello_p.pdb)
first_module "$procedures" | grep -E 'S_[GL]PROC32|S_END' | sed 's/^ *[0-9]* | /  /'

# scripts/wine runs wine here, or in an emulated machine where this one
# cannot start 32-bit programs (the first time there takes a few minutes:
# the machine's kernel and wine prefix are made and kept under build/guest).
# Where wine cannot run at all (scripts/wine says why, with exit code 125),
# the demo has done its main job and says why hello.exe did not run.
# wine 10 looks for a display through a runtime folder; where none is set,
# it says so in an error line though the run succeeds. The demo gives it a
# private one (0700, as mktemp makes it), removed at the end.
if [ ! -d "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
  trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
step "wine hello.exe"
status=0
WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" SYMWELD_GUEST_OWNER=$$ \
  "$here/../scripts/wine" hello.exe </dev/null >wine.out 2>&1 || status=$?
if [ "$status" -eq 125 ] && grep -q '^scripts/wine: ' wine.out; then
  echo "hello.exe and winedbg were not run: $(sed -n 's/^scripts\/wine: //p' wine.out | tail -n 1)"
  exit 0
fi
# The program's own output, less wine's notes on making its prefix the
# first time.
sed -e "/^wine: created the configuration directory '.*'\$/d" \
    -e '/^wine: configuration in .* has been updated\.$/d' wine.out
echo "exit code: $status"
[ "$status" -eq 0 ]

# winedbg finds a line only inside a procedure: hello_p.exe has them. (The
# commands file has no .cmd name: wine would run it in place of winedbg.) Each
# command is followed by an echo that marks where its output ends, and each
# stop by a backtrace whose first frame tells the stop's file and line.
step "winedbg hello_p.exe: break at start, three next, then bt"
commands=("break start" cont next next next)
for command in "${commands[@]}"; do
  printf 'echo @@ %s\n%s\nbt\n' "$command" "$command"
done >debugger-commands.txt
printf 'echo @@ end\nquit\n' >>debugger-commands.txt
WINEDEBUG=-all SYMWELD_GUEST_OWNER=$$ "$here/../scripts/wine" winedbg --file debugger-commands.txt hello_p.exe \
  </dev/null >winedbg.out 2>&1 || true
# A stop as "file:line (procedure)", from a backtrace's first frame.
awk '
  /^@@ / { if (command != "" && command != "break start") print stop_of(command); command = substr($0, 4); frame = ""; bt = 0; next }
  /^Backtrace:/ { bt = 1; last_bt = ""; next }
  bt && /^=>/ { frame = $0 }
  bt { last_bt = last_bt "  " $0 "\n" }
  function stop_of(c,    place, name) {
    place = frame; sub(/^.*[[]/, "", place); sub(/[]].*$/, "", place); sub(/^.*[\\\/]/, "", place)
    name = frame; sub(/^=>0 0x[0-9a-fA-F]* /, "", name); sub(/[(+].*$/, "", name)
    return sprintf("%-12s -> %s (%s)", c == "cont" ? "cont (start)" : c, frame == "" ? "no stop" : place, name)
  }
  END { printf "bt:\n%s", last_bt }
' winedbg.out

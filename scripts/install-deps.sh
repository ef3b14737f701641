#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian's packages.
# Quiet and quick when everything is already present.
set -euo pipefail

missing=()
need_cmd() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_pkg() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ] || missing+=("$1"); }

need_cmd cmake cmake
need_cmd make make
need_cmd g++ g++
need_cmd python3 python3
need_cmd fasm fasm
need_cmd i686-w64-mingw32-g++-win32 g++-mingw-w64-i686
need_cmd llvm-readobj-14 llvm-14
need_cmd lld-link-14 lld-14
need_cmd clang-14 clang-14
need_cmd llvm-readobj-22 llvm-22
need_cmd lld-link-22 lld-22
need_cmd lldb-22 lldb-22
need_cmd mandoc mandoc
need_cmd lintian lintian
need_cmd zip zip
need_cmd dpkg-deb dpkg
need_cmd valgrind valgrind
need_pkg libgtest-dev
need_pkg libclang-rt-14-dev
need_pkg wine
if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
  missing+=("wine32:i386")
else
  need_pkg wine32:i386
fi

# fasm is a 32-bit program: where the kernel cannot start one (exit 126),
# scripts/fasm runs it under qemu's user-mode emulator.
if command -v fasm >/dev/null 2>&1 && ! command -v qemu-i386 >/dev/null 2>&1; then
  fasm >/dev/null 2>&1 && status=0 || status=$?
  [ "$status" -eq 126 ] && missing+=(qemu-user)
fi

# wine's loader is a 32-bit program too: where it cannot start, scripts/wine
# runs it in an emulated machine made from Debian's kernel and busybox.
install_guest_tools() {
  command -v wine >/dev/null 2>&1 || return 0
  wine --version >/dev/null 2>&1 && return 0
  local guest=()
  command -v qemu-system-x86_64 >/dev/null 2>&1 || guest+=(qemu-system-x86)
  [ "$(dpkg-query -W -f='${Status}' busybox-static 2>/dev/null)" = "install ok installed" ] || guest+=(busybox-static)
  [ ${#guest[@]} -eq 0 ] && return 0
  echo "installing: ${guest[*]} (wine runs in an emulated machine here)"
  [ "$(id -u)" -ne 0 ] && SUDO="sudo" || SUDO=""
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${guest[@]}" >/dev/null
}

if [ ${#missing[@]} -eq 0 ]; then
  install_guest_tools
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
for p in "${missing[@]}"; do
  if [ "$p" = "wine32:i386" ]; then
    $SUDO dpkg --add-architecture i386
  fi
done
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
# A fresh machine learns only now that fasm needs the emulator.
if ! command -v qemu-i386 >/dev/null 2>&1; then
  fasm >/dev/null 2>&1 && status=0 || status=$?
  if [ "$status" -eq 126 ]; then
    $SUDO apt-get install -y -qq qemu-user >/dev/null
  fi
fi
install_guest_tools

#!/usr/bin/env bash
# Installs what building, testing and the demo need, from the running Debian
# release's own packages: whatever versions it offers, never a fixed list.
# Quiet and quick when everything is already present; otherwise one line
# that names what it installs, and apt's own output only where that fails.
#
# A mirror in the middle of a sync is not fatal: the package lists are
# fetched again a few times, an index that still fails is reported and
# passed over, and an install that cannot be resolved because one
# architecture's index lags the other's is tried again with the release's
# own suite preferred. Nothing of the apt configuration changes except the
# i386 architecture, which wine needs.
#
# wine is the one part that may be missing afterwards: then this says in one
# line why, and exits 0, so that the build and the demo go on; the Windows
# cases of `make check` fail on it. SYMWELD_SKIP_WINDOWS=1 leaves wine out.
set -euo pipefail

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
say() { echo "install-deps: $*" >&2; }
# The running release's own suite, preferred where apt cannot resolve.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

# apt-get update, three tries with a growing pause. An index that still
# fails (a mirror half-synced) is reported and the install goes on with the
# lists apt has.
lists_fresh=false
update_lists() {
  $lists_fresh && return 0
  lists_fresh=true
  local try log
  log=$(mktemp)
  for try in 1 2 3; do
    if $SUDO apt-get update -qq >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  local first
  first=$(sed -n '/^E: /{p;q}' "$log")
  [ -n "$first" ] || first=$(sed -n '/^W: /{p;q}' "$log")
  rm -f "$log"
  say "some package lists could not be fetched (a mirror sync in progress?); going on with what apt has: ${first:-apt-get update failed}"
}

# LLVM: the release's own version (what its plain "llvm" package stands
# for: 14 on Debian 12, 19 on Debian 13) and the newest one its archive has.
# Where the release names none, the oldest one it has.
llvm_versions_offered() {
  apt-cache pkgnames llvm- 2>/dev/null | sed -n 's/^llvm-\([0-9][0-9]*\)$/\1/p' | sort -n
}
llvm_default_version() {
  apt-cache show --no-all-versions llvm 2>/dev/null | sed -n 's/^Depends:.*\bllvm-\([0-9][0-9]*\)\b.*/\1/p' | sed -n 1p
}
choose_llvm() {
  local offered default
  offered=$(llvm_versions_offered)
  if [ -z "$offered" ]; then
    update_lists
    offered=$(llvm_versions_offered)
  fi
  if [ -z "$offered" ]; then
    say "FAILED: the package lists name no LLVM (llvm-N); run 'apt-get update' and try again"
    exit 1
  fi
  default=$(llvm_default_version)
  grep -qx "${default:-none}" <<<"$offered" || default=$(sed -n 1p <<<"$offered")
  llvm_oldest=$default
  llvm_newest=$(tail -n 1 <<<"$offered")
}

# Every package the project needs, by what the release offers.
choose_packages() {
  choose_llvm
  wanted=(cmake make ninja-build g++ python3 fasm g++-mingw-w64-i686 libgtest-dev valgrind mandoc lintian zip dpkg e2fsprogs strace)
  # The oldest LLVM reads and links every output and builds the fuzzers;
  # the newest one does the same and brings the debugger.
  wanted+=("llvm-$llvm_oldest" "lld-$llvm_oldest" "clang-$llvm_oldest" "libclang-rt-$llvm_oldest-dev")
  wanted+=("llvm-$llvm_newest" "lld-$llvm_newest" "lldb-$llvm_newest")
  windows=()
  [ -n "${SYMWELD_SKIP_WINDOWS:-}" ] || windows=(wine wine32:i386)
}

missing() {
  local p
  for p in "$@"; do installed "$p" || echo "$p"; done
}

# Installs the packages; where apt cannot resolve them (one architecture's
# index lagging the other's), again with the release's own suite preferred.
# Returns the last apt error in $apt_error, and keeps apt's whole output of
# the last failed try in $apt_log for a failure that ends the run.
apt_error=""
apt_log=$(mktemp)
trap 'rm -f "$apt_log"' EXIT
install_packages() {
  local -a options=(-y -qq ${APT_NO_RECOMMENDS:+--no-install-recommends})
  if $SUDO apt-get install "${options[@]}" "$@" >"$apt_log" 2>&1 ||
     { [ -n "$codename" ] &&
       $SUDO apt-get install "${options[@]}" -t "$codename" "$@" >"$apt_log" 2>&1; }; then
    return 0
  fi
  apt_error=$(grep -E '^E: ' "$apt_log" | grep -v -E 'Unable to correct problems|held packages' | sed -n 1p || true)
  [ -n "$apt_error" ] || apt_error=$(grep -E '^E: ' "$apt_log" | sed -n 1p || true)
  return 1
}

# apt's own words on a failure that ends the run, then the one line on it.
fail() {
  cat "$apt_log" >&2
  say "FAILED: $*"
  exit 1
}

# The first package of a set that apt cannot install, for the message.
culprit() {
  local p
  for p in "$@"; do
    apt-get install -s -qq -t "$codename" "$p" >/dev/null 2>&1 || { echo "$p"; return; }
  done
  echo "$1"
}

# Everything in one transaction, so that apt picks versions of the shared
# libraries that both architectures have. Where wine cannot be had, the rest
# is installed without it.
choose_packages
mapfile -t need < <(missing "${wanted[@]}")
mapfile -t need_windows < <(missing "${windows[@]}")
if [ ${#need_windows[@]} -gt 0 ] && ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
  $SUDO dpkg --add-architecture i386
  lists_fresh=false
fi
if [ $((${#need[@]} + ${#need_windows[@]})) -gt 0 ]; then
  # What the fresh lists offer decides: a suite may have come or gone.
  update_lists
  choose_packages
  mapfile -t need < <(missing "${wanted[@]}")
  mapfile -t need_windows < <(missing "${windows[@]}")
  echo "== installing ${need[*]} ${need_windows[*]}"
  if ! install_packages "${need[@]}" "${need_windows[@]}"; then
    windows_error=$apt_error
    if [ ${#need_windows[@]} -eq 0 ] || { [ ${#need[@]} -gt 0 ] && ! install_packages "${need[@]}"; }; then
      fail "cannot install $(culprit "${need[@]}"): ${apt_error:-apt-get failed}; the mirror may be in the middle of a sync: run again later"
    fi
    say "wine is not installed: $(culprit "${need_windows[@]}"): ${windows_error:-apt-get failed}; run again later, or set SYMWELD_SKIP_WINDOWS=1 to go on without the Windows build"
  fi
fi

# fasm and wine's loader are 32-bit programs. Where the kernel cannot start
# one (exit 126), scripts/fasm runs fasm under qemu's user-mode emulator and
# scripts/wine runs wine in an emulated machine made from Debian's kernel
# and busybox.
extra=()
status=0
fasm >/dev/null 2>&1 || status=$?
[ "$status" -eq 126 ] && ! command -v qemu-i386 >/dev/null 2>&1 && extra+=(qemu-user)
# SYMWELD_WINE=guest asks for the emulated machine where wine could start.
if command -v wine >/dev/null 2>&1 && { [ "${SYMWELD_WINE:-}" = guest ] || ! wine --version >/dev/null 2>&1; }; then
  command -v qemu-system-x86_64 >/dev/null 2>&1 || extra+=(qemu-system-x86)
  installed busybox-static || extra+=(busybox-static)
fi
if [ ${#extra[@]} -gt 0 ]; then
  update_lists
  echo "== installing ${extra[*]} (32-bit programs run emulated here)"
  if ! APT_NO_RECOMMENDS=1 install_packages "${extra[@]}"; then
    fail "cannot install $(culprit "${extra[@]}"): ${apt_error:-apt-get failed}; run again later"
  fi
fi
exit 0

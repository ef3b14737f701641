#!/usr/bin/env bash
# make check-fresh: the two quick-start commands as a new user meets them.
# For each Debian release named (default: trixie bookworm) this makes a
# minimal root with debootstrap, from the mirror of this machine's own apt
# sources, adds only git and make (from the release's own suite, so that the
# system is as the release made it), clones the committed tree into it and
# runs `make demo` and `make check` inside, as root.
#
# The root's mounts live in a mount namespace of their own, so they vanish
# with it on every exit path (Ctrl-C, failure, even SIGKILL); the root is
# removed afterwards, and only when nothing is mounted below it. The host's
# packages are never touched. Downloaded packages are kept in
# SYMWELD_FRESH_CACHE (default /var/cache/symweld-fresh) to save time.
#
# Where the archive cannot deliver (debootstrap or apt fail after their
# retries) a release is reported as not checked, without failing; any
# failure after the packages are installed fails.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cache=${SYMWELD_FRESH_CACHE:-/var/cache/symweld-fresh}
releases=("$@")
[ ${#releases[@]} -gt 0 ] || releases=(trixie bookworm)
say() { echo "check-fresh: $*"; }

if [ "$(id -u)" -ne 0 ]; then
  say "FAILED: needs root (debootstrap, chroot and mounts)"
  exit 1
fi
for tool in debootstrap unshare git; do
  command -v "$tool" >/dev/null 2>&1 && continue
  apt-get install -y -qq "$tool" >/dev/null 2>&1 || { say "FAILED: cannot install $tool"; exit 1; }
done

# The mirror this machine's apt sources use.
mirror=$(grep -h -o -E 'https?://[^ ]+/debian/?( |$)' /etc/apt/sources.list /etc/apt/sources.list.d/*.sources \
         /etc/apt/sources.list.d/*.list 2>/dev/null | sed -n '1{s/ *$//;s,/$,,;p}' || true)
mirror=${mirror:-http://deb.debian.org/debian}
security=${mirror%/debian}/debian-security

# The committed tree, cloned once for every root.
tree=$(mktemp -d /var/tmp/symweld-fresh-tree.XXXXXX)
roots=()
cleanup() {
  local root
  for root in "${roots[@]}"; do
    [ -n "$root" ] || continue
    # Nothing may be mounted below a root that is removed.
    if grep -q -F " $root/" /proc/self/mounts; then
      say "left $root in place: something is still mounted below it"
    else
      rm -rf --one-file-system "$root"
    fi
  done
  rm -rf "$tree"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
git -C "$top" bundle create "$tree/symweld.bundle" HEAD >/dev/null 2>&1
commit=$(git -C "$top" rev-parse --short HEAD)

# Tries a command three times with a growing pause.
retry() {
  local try
  for try in 1 2 3; do
    "$@" && return 0
    [ "$try" -lt 3 ] && sleep $((try * 10))
  done
  return 1
}

# What runs inside the root's own mount namespace.
inside() {
  local root=$1 release=$2 log=$3
  mount -t proc proc "$root/proc"
  mount -t sysfs sys "$root/sys"
  mount --bind /dev "$root/dev"
  mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
  mount -t tmpfs tmpfs "$root/dev/shm"
  mount -t tmpfs tmpfs "$root/tmp"
  mkdir -p "$cache/$release/archives" "$root/var/cache/apt/archives"
  mount --bind "$cache/$release/archives" "$root/var/cache/apt/archives"
  mkdir -p "$root/mnt/tree"
  mount --bind -o ro "$tree" "$root/mnt/tree"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  # SYMWELD_WINE=guest reaches inside: the emulated machine's path is
  # checked on a fresh system too, also where wine could start directly.
  local run=(chroot "$root" env -i HOME=/root TERM=dumb LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
             "SYMWELD_WINE=${SYMWELD_WINE:-}")
  "${run[@]}" sh -c 'apt-get update -qq; true' >>"$log" 2>&1
  if ! retry "${run[@]}" sh -c 'apt-get update -qq >/dev/null 2>&1; DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t '"$release"' git make' >>"$log" 2>&1; then
    echo "archive: apt could not install git and make" >"$root/result"
    return 0
  fi
  "${run[@]}" git -c advice.detachedHead=false clone -q /mnt/tree/symweld.bundle /root/symweld >>"$log" 2>&1
  local step started
  for step in demo check; do
    started=$(date +%s)
    if "${run[@]}" sh -c "cd /root/symweld && make $step" >>"$log" 2>&1; then
      echo "$step $(($(date +%s) - started))" >>"$root/result"
    else
      echo "failed $step $(($(date +%s) - started))" >>"$root/result"
      # What the emulated machine said, where it was used: the root goes.
      local said
      for said in guest.log console.log; do
        [ -f "$root/root/symweld/build/guest/$said" ] || continue
        echo "--- build/guest/$said (last lines)" >>"$log"
        tail -n 40 "$root/root/symweld/build/guest/$said" >>"$log"
      done
      # An install that the archive could not deliver is no fault of the tree.
      if grep -q -E '^install-deps: (FAILED: cannot install|wine is not installed)' "$log"; then
        echo "archive: $(grep -m1 -E '^install-deps: ' "$log")" >"$root/result"
      fi
      return 0
    fi
  done
  "${run[@]}" sh -c 'ls /usr/bin | sed -n "s/^llvm-readobj-\([0-9]*\)$/\1/p" | sort -n | tr "\n" " "' >"$root/llvm"
}

# What each failed test printed (ctest --output-on-failure puts it after
# the test's result line): the root goes, and the log's tail shows only the
# summary.
failed_tests_output() {
  awk 'function flush() { for (i = (n > 150 ? n - 150 : 0); i < n; i++) print kept[i]; n = 0 }
       /^ *[0-9]+\/[0-9]+ Test +#[0-9]+: / || /^ *Start +[0-9]+: / { if (keep) flush(); keep = /\*\*\*/ }
       keep { kept[n++] = $0 }
       END { if (keep) flush() }' "$1"
}

failed=0
for release in "${releases[@]}"; do
  mkdir -p "$cache/$release/archives"
  root=$(mktemp -d "/var/tmp/symweld-fresh-$release.XXXXXX")
  chmod 755 "$root"  # a system's root folder, open to its other users (apt's _apt)
  roots+=("$root")
  log="$cache/$release/last.log"
  : >"$log"
  started=$(date +%s)
  if ! retry debootstrap --variant=minbase --cache-dir="$cache/$release/archives" "$release" "$root" "$mirror" \
       >>"$log" 2>&1; then
    say "$release: not checked: debootstrap could not fetch the release from $mirror (see $log)"
    continue
  fi
  # The release's updates and security suites, as on an installed system.
  cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
deb $security $release-security main
EOF
  export -f inside retry
  export cache tree
  unshare --mount --propagation private --fork bash -c 'inside "$@"' inside "$root" "$release" "$log" || true
  result=$(cat "$root/result" 2>/dev/null || echo "failed setup")
  total=$(($(date +%s) - started))
  case "$result" in
    archive:*)
      say "$release: not checked: the archive could not deliver (${result#archive: }); see $log" ;;
    *failed*)
      failed=1
      say "$release: FAILED: make ${result##*failed } s (tree $commit; see $log)"
      failed_tests_output "$log"
      tail -n 30 "$log" ;;
    *)
      demo=$(sed -n 's/^demo //p' <<<"$result")
      check=$(sed -n 's/^check //p' <<<"$result")
      say "$release: passed: make demo ${demo} s, make check ${check} s, ${total} s in all; LLVM $(cat "$root/llvm")(tree $commit)" ;;
  esac
  rm -rf --one-file-system "$root"
  roots=("${roots[@]/$root}")
done
exit $failed

#!/usr/bin/env bash
# Builds the three packages from built binaries, byte for byte reproducibly:
#   dist.sh NATIVE_BINARY WINDOWS_EXE OUT_DIR
# Time stamps come from SOURCE_DATE_EPOCH (the last commit's time when it is
# not set); archive entries are sorted, owned by root, with fixed modes.
set -euo pipefail
native=$(readlink -f "$1")
exe=$(readlink -f "$2")
mkdir -p "$3" && out=$(cd "$3" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
version=$("$native" --version)
version=${version#symweld }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C
umask 022

# The documents the README links to for users, shipped beside it in doc/ so
# that its links still lead somewhere. (doc/contributing.md is for the tree.)
user_docs=(build-systems command-line debugging file-safety)

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

# Every file and folder of a staged tree gets a fixed mode and time.
settle() {
  find "$1" -type d -exec chmod 0755 {} +
  find "$1" -type f -exec chmod 0644 {} +
  find "$1" -path '*/bin/*' -type f -exec chmod 0755 {} +
  find "$1" -name '*.exe' -type f -exec chmod 0755 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# --- Linux tarball: bin/, share/man/man1/, share/doc/symweld/, the CMake
# package in lib/cmake/symweld/ and the make rule in share/symweld/ --------
top="symweld-$version-linux-x86_64"
tree="$stage/tar/$top"
install -D -s --strip-program="$root/scripts/strip-all" "$native" "$tree/bin/symweld"
install -D -m 0644 "$root/doc/symweld.1" "$tree/share/man/man1/symweld.1"
install -D -m 0644 "$root/README.md" "$tree/share/doc/symweld/README.md"
for name in "${user_docs[@]}"; do
  install -D -m 0644 "$root/doc/$name.md" "$tree/share/doc/symweld/doc/$name.md"
done
install -D -m 0644 "$root/LICENSE" "$tree/share/doc/symweld/LICENSE"
install_build_files() {  # the CMake package and the make rule, under a prefix
  install -D -m 0644 "$root/cmake/package/symweld-config.cmake" "$1/lib/cmake/symweld/symweld-config.cmake"
  sed "s/@VERSION@/$version/" "$root/cmake/package/symweld-config-version.cmake.in" \
    | install -D -m 0644 /dev/stdin "$1/lib/cmake/symweld/symweld-config-version.cmake"
  install -D -m 0644 "$root/cmake/package/symweld.mk" "$1/share/symweld/symweld.mk"
}
install_build_files "$tree"
settle "$stage/tar"
tar --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" --format=gnu \
  -C "$stage/tar" -cf - "$top" | gzip -9n >"$out/$top.tar.gz"

# --- Debian package ----------------------------------------------------------
deb="$stage/deb"
install -D -s --strip-program="$root/scripts/strip-all" "$native" "$deb/usr/bin/symweld"
install -d "$deb/usr/share/man/man1" "$deb/usr/share/doc/symweld" "$deb/DEBIAN"
gzip -9n <"$root/doc/symweld.1" >"$deb/usr/share/man/man1/symweld.1.gz"
gzip -9n <"$root/README.md" >"$deb/usr/share/doc/symweld/README.md.gz"
install -d "$deb/usr/share/doc/symweld/doc"
for name in "${user_docs[@]}"; do
  gzip -9n <"$root/doc/$name.md" >"$deb/usr/share/doc/symweld/doc/$name.md.gz"
done
sed "s/@VERSION@/$version/; s/@DATE@/$(date -R -d "@$SOURCE_DATE_EPOCH")/" \
  "$root/scripts/debian/changelog.in" | gzip -9n >"$deb/usr/share/doc/symweld/changelog.gz"
install -m 0644 "$root/scripts/debian/copyright" "$deb/usr/share/doc/symweld/copyright"
install_build_files "$deb/usr"
install -d "$deb/usr/share/lintian/overrides"
install -m 0644 "$root/scripts/debian/lintian-overrides" "$deb/usr/share/lintian/overrides/symweld"
size=$(du -k -s --apparent-size "$deb/usr" | cut -f1)
sed "s/@VERSION@/$version/; s/@SIZE@/$size/" "$root/scripts/debian/control.in" >"$deb/DEBIAN/control"
(cd "$deb" && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
settle "$deb"
dpkg-deb --root-owner-group -Zxz --build "$deb" "$out/symweld_${version}_amd64.deb" >/dev/null

# --- Windows zip: symweld.exe, README.txt, doc/*.txt and LICENSE.txt with
# CR LF; the links between the documents name the .txt files -------------
top="symweld-$version-win32"
zipdir="$stage/zip/$top"
install -D -s --strip-program=i686-w64-mingw32-strip "$exe" "$zipdir/symweld.exe"
links_to_txt=(-e 's#](\(\.\./\)\?README\.md#](\1README.txt#g')
for name in "${user_docs[@]}"; do
  links_to_txt+=(-e "s#](\\(doc/\\)\\?$name\\.md#](\\1$name.txt#g")
done
windows_text() { sed "${links_to_txt[@]}" -e 's/\r\?$/\r/' "$1" >"$2"; }
windows_text "$root/README.md" "$zipdir/README.txt"
mkdir -p "$zipdir/doc"
for name in "${user_docs[@]}"; do
  windows_text "$root/doc/$name.md" "$zipdir/doc/$name.txt"
done
windows_text "$root/LICENSE" "$zipdir/LICENSE.txt"
settle "$stage/zip"
rm -f "$out/$top.zip"
(cd "$stage/zip" && find "$top" | sort | zip -q -X -D -9 "$out/$top.zip" -@)

cd "$out"
sha256sum "symweld_${version}_amd64.deb" "symweld-$version-linux-x86_64.tar.gz" "symweld-$version-win32.zip" \
  >"symweld-$version.sha256"

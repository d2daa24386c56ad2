#!/usr/bin/env bash
# The Debian package as a user gets it: built by cpack, unpacked into a
# scratch root, its programs run from there, its files where a desktop
# looks for them. Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >/dev/null
deb=$(ls "$scratch"/out/corvanta_*.deb)
dpkg-deb --field "$deb" Package Version Depends
dpkg-deb --field "$deb" Depends | grep -q libqt6widgets6 || { echo "no Qt dependency"; exit 1; }
# The long description as apt shows it: lines of at most 80 columns, each
# opened by one space and then its text (a CMake list written as it is opens
# them with ";").
description=$(dpkg-deb --field "$deb" Description)
long=$(tail -n +2 <<<"$description")
if [ -z "$long" ] || grep -qv '^ [^ ;.]' <<<"$long" || awk 'length > 80 { bad = 1 } END { exit !bad }' <<<"$description"; then
  printf 'malformed description:\n%s\n' "$description"
  exit 1
fi
dpkg -x "$deb" "$scratch/root"

for program in corvanta corvanta-cli corvanta-sim; do
  version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$scratch/root/usr/bin/$program" --version)
  echo "$version"
  [[ $version == "$program "* ]] || { echo "$program --version printed: $version"; exit 1; }
  man_page="$scratch/root/usr/share/man/man1/$program.1"
  [ -s "$man_page" ] || [ -s "$man_page.gz" ] || { echo "no man page for $program"; exit 1; }
done
for file in usr/share/applications/corvanta.desktop usr/share/icons/hicolor/16x16/apps/corvanta.png \
            usr/share/icons/hicolor/32x32/apps/corvanta.png usr/share/doc/corvanta/copyright; do
  [ -s "$scratch/root/$file" ] || { echo "missing $file"; exit 1; }
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$scratch/root/usr/share/applications/corvanta.desktop"
fi
echo "package ok"

#!/usr/bin/env bash
# The Debian package as a user gets it: built by cpack, unpacked into a
# scratch root, its programs run from there, its files where a desktop
# looks for them, and what Debian's and AppStream's checkers say of it.
# Usage: package_test.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# have TOOL: whether TOOL is here. In CI a missing checker fails the test;
# elsewhere the check is skipped, and said so.
have() {
  command -v "$1" >/dev/null && return 0
  if [ "${CI:-}" = true ]; then
    echo "$1 is missing (scripts/lib/setup.sh installs it)"
    exit 1
  fi
  echo "skipped: $1 is not installed"
  return 1
}

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
  man_page="$scratch/root/usr/share/man/man1/$program.1.gz"
  page=$(gzip -dc "$man_page" 2>&1) || page=
  grep -q "^\.TH $program 1" <<<"$page" || { echo "no gzip-compressed man page for $program"; exit 1; }
done
for file in usr/share/applications/corvanta.desktop usr/share/metainfo/org.example.corvanta.metainfo.xml \
            usr/share/doc/corvanta/copyright usr/share/doc/corvanta/changelog.gz; do
  [ -s "$scratch/root/$file" ] || { echo "missing $file"; exit 1; }
done
for size in 16 32 48 64 128 256; do
  icon=usr/share/icons/hicolor/${size}x${size}/apps/corvanta.png
  what=$(file -b "$scratch/root/$icon" 2>&1)
  [[ $what == "PNG image data, $size x $size,"* ]] || { echo "$icon: $what"; exit 1; }
done

if have desktop-file-validate; then
  desktop-file-validate "$scratch/root/usr/share/applications/corvanta.desktop"
fi
if have appstreamcli; then
  appstreamcli validate --no-net --pedantic "$scratch/root/usr/share/metainfo/org.example.corvanta.metainfo.xml"
  appstreamcli validate-tree --no-net "$scratch/root"
fi
# Debian's checks with their default profile: any error or warning fails.
if have lintian; then
  lintian_out=$(lintian --fail-on error,warning "$deb" 2>&1) || { printf 'lintian:\n%s\n' "$lintian_out"; exit 1; }
  printf 'lintian: %s\n' "${lintian_out:-clean}"
fi
echo "package ok"

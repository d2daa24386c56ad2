#!/usr/bin/env bash
# The Windows packages as a user gets them: cpack makes the installer and
# the ZIP in a scratch directory; the ZIP holds the program, README and
# licence; the installer is run under Wine by the test program given.
#
#   installer_test.sh BUILD_DIR VERSION -- COMMAND [ARG]...
#
# Run by ctest under scripts/test's Wine prefix; the program learns the
# installer's path from CORVANTA_SETUP.
set -euo pipefail
build=$1
version=$2
shift 3
# Skipped on a developer's machine without NSIS; scripts/test installs it,
# so in CI its absence fails.
if ! command -v makensis >/dev/null; then
  echo "makensis is not installed (Debian package nsis)"
  [ -n "${CI:-}" ] && exit 1
  exit 77
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$scratch" >/dev/null
setup=$scratch/corvanta-$version-win32-setup.exe
zip=$scratch/corvanta-$version-win32.zip
for package in "$setup" "$zip"; do
  [ -s "$package" ] || { echo "cpack made no $(basename "$package")"; ls "$scratch"; exit 1; }
done

listed=$(cd "$scratch" && cmake -E tar tf "$zip" | sort)
expected=$(printf "corvanta-$version-win32/%s\n" LICENSE.txt README.md corvanta.exe)
[ "$listed" = "$expected" ] || { printf 'the ZIP holds:\n%s\nnot:\n%s\n' "$listed" "$expected"; exit 1; }
echo "zip ok: $(basename "$zip")"

CORVANTA_SETUP=$setup "$@"

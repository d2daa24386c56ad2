#!/usr/bin/env bash
# The set-up scripts' decisions when a mirror is in the middle of a sync,
# against stand-in apt-get, dpkg-query and dpkg commands on PATH (the
# machine's packages are never touched). Each row: whether apt-get update
# fails, when the install fails, then the exit status expected and the
# apt-get calls expected, in order.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/bin"
cat >"$scratch/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
pinned=no
for arg in "$@"; do [[ $arg == Dir::Etc::PreferencesParts=* ]] && pinned=yes; done
case $1 in
  update) echo update >>"$FAKE_CALLS"; [ "$FAKE_UPDATE" = ok ] || { echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size"; exit 100; } ;;
  *) echo "install pinned=$pinned" >>"$FAKE_CALLS"
     case $FAKE_INSTALL in
       ok) exit 0 ;;
       pinned-only) [ $pinned = yes ] && exit 0 ;;
     esac
     echo "E: Unable to correct problems, you have held broken packages."; exit 100 ;;
esac
FAKE
printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/dpkg-query"            # nothing is installed
printf '#!/bin/sh\necho i386\n' >"$scratch/bin/dpkg"                 # the architecture is there
printf '#!/bin/sh\necho 0\n' >"$scratch/bin/id"                      # root: no sudo
chmod +x "$scratch/bin/"*

failures=0
check() {  # update install expected_status expected_calls...
  local update=$1 install=$2 expected_status=$3
  shift 3
  local expected_calls
  expected_calls=$(printf '%s\n' "$@")
  : >"$scratch/calls"
  output=$(TMPDIR="$scratch" PATH="$scratch/bin:$PATH" FAKE_CALLS="$scratch/calls" FAKE_UPDATE=$update FAKE_INSTALL=$install \
    bash -c "source '$here/../scripts/lib/setup.sh'; install_missing_packages wine32 qt6-base-dev" 2>&1)
  local status=$?
  local calls
  calls=$(cat "$scratch/calls")
  if [ "$status" -ne "$expected_status" ] || [ "$calls" != "$expected_calls" ]; then
    echo "FAILED: update $update, install $install: status $status (want $expected_status), calls:"
    echo "$calls" | sed 's/^/  /'
    echo "output:"; echo "$output" | sed 's/^/  /'
    failures=$((failures + 1))
  fi
  # A failed install always ends with advice; a good one never does.
  if [ "$status" -ne 0 ] && ! grep -q 'What to try' <<<"$output"; then
    echo "FAILED: update $update, install $install: no advice"; failures=$((failures + 1))
  fi
}

check ok   ok          0 update "install pinned=no"
check fail ok          0 update "install pinned=no"
check fail pinned-only 0 update "install pinned=no" "install pinned=yes"
check fail never       1 update "install pinned=no" "install pinned=yes"
# With every index whole, a refused install is not the mirror's fault: no pinned try.
check ok   never       1 update "install pinned=no"
check ok   pinned-only 1 update "install pinned=no"

[ "$failures" -eq 0 ] && echo "set-up decisions: all as expected"
exit $((failures > 0))

# Shared by scripts/demo, scripts/test and the other scripts: install what a
# fresh Debian 12 machine lacks, then configure and build into build/.
# shellcheck shell=bash

# Debian packages the Linux build needs (scripts/demo installs these alone).
CORVANTA_BUILD_PACKAGES=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev
  # The window's Japanese texts.
  fonts-ipafont-gothic
)

# What the tests add: the headless display, the trace and picture readers,
# the emulated controller, clang for the fuzzers, the package checks
# (lintian, AppStream's validator), and for the Windows program the cross
# compiler, GoogleTest's sources for it, the installer maker and Wine
# (32-bit) with a Japanese font to run it.
CORVANTA_TEST_PACKAGES=(
  xvfb xauth
  tshark bluez bluez-test-tools
  clang libclang-rt-14-dev
  imagemagick
  file desktop-file-utils lintian appstream
  g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest nsis
  wine wine32 fonts-wine fonts-vlgothic xdotool
)

# install_missing_packages [PACKAGE...]: those of the list that are not
# installed yet; without a list, everything the build and the tests need.
#
# A mirror in the middle of a sync can serve an index that does not match its
# release file. apt-get update then fails for that one index, which is only a
# warning here: the install goes on with the indexes that came. If the bad
# index was the security suite's (seen with its i386 index), apt cannot find
# i386 libraries at the versions of the amd64 ones it installs and refuses
# wine32; the install is then tried once more with the security suite pinned
# below the main suite, so that both architectures come from the same point
# release. If that fails too, the scripts say what failed and what to try.
install_missing_packages() {
  local wanted=("$@")
  [ ${#wanted[@]} -eq 0 ] && wanted=("${CORVANTA_BUILD_PACKAGES[@]}" "${CORVANTA_TEST_PACKAGES[@]}")
  local missing=()
  local package
  for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  # wine32 is an i386 package.
  if [[ " ${missing[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
  fi
  local log
  log=$(mktemp -t corvanta-apt-XXXXXX.log)
  local index_failed=0
  if ! "${sudo[@]}" apt-get update -qq >"$log" 2>&1; then
    index_failed=1
    echo "== Warning: apt-get update could not read every package index (a mirror in the middle of a sync?):"
    grep -E '^(E|W): ' "$log" | head -n 5 | sed 's/^/   /'
    echo "   Going on with the indexes that came."
  fi
  if apt_install "$log" "${missing[@]}"; then
    rm -f "$log"
    return 0
  fi
  if [ "$index_failed" -eq 1 ]; then
    echo "== The install failed on the incomplete indexes; trying again with the security suite pinned below the main suite"
    local pins
    pins=$(mktemp -d -t corvanta-apt-pins-XXXXXX)
    printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pins/security-below-main"
    if apt_install "$log" -o Dir::Etc::PreferencesParts="$pins" "${missing[@]}"; then
      rm -rf "$pins" "$log"
      echo "== Installed from the main suite; run 'apt-get update && apt-get upgrade' once the mirror is whole again"
      return 0
    fi
    rm -rf "$pins"
  fi
  echo "== The install failed. What apt said (whole log: $log):"
  grep -E '^(E|W): |Depends:|broken' "$log" | tail -n 12 | sed 's/^/   /'
  echo "   What to try:"
  echo "   - a mirror in the middle of a sync mends itself within hours: run 'apt-get update' again later;"
  echo "   - or pin the security suite below the main suite for this install (README, Set-up);"
  echo "   - or install the packages above by hand and run this script again."
  return 1
}

# apt_install LOG [APT-OPTION...] PACKAGE...: installs quietly, apt's output
# going to LOG.
apt_install() {
  local log=$1
  shift
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$@" >>"$log" 2>&1
}

# Warnings are errors in every build the scripts make, the demo's as CI's:
# one set of flags, so that scripts/test after scripts/demo (or a second
# run) finds build/ up to date. Debian 12's compilers are the ones both use.
build_all() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTA_WERROR=ON \
    -DCORVANTA_REQUIRE_WINDOW=ON >/dev/null
  cmake --build build -j"$(nproc)"
}

# The Windows program and its tests, cross-built into build-win/. The tests
# that need a module use the Linux build's virtual module (build_all first).
# Release: debug information makes the cross-build several times slower,
# and nothing debugs the .exe under Wine in CI.
build_windows() {
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release -DCORVANTA_WERROR=ON \
    -DCORVANTA_HOST_SIM="$PWD/build/sim/corvanta-sim" >/dev/null
  cmake --build build-win -j"$(nproc)"
}

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
# the emulated controller, clang for the fuzzers, the package checks, and
# for the Windows program the cross compiler, GoogleTest's sources for it,
# the installer maker and Wine (32-bit) with a Japanese font to run it.
CORVANTA_TEST_PACKAGES=(
  xvfb xauth
  tshark bluez bluez-test-tools
  clang libclang-rt-14-dev
  imagemagick
  file desktop-file-utils
  g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest nsis
  wine wine32 fonts-wine fonts-vlgothic xdotool
)

# install_missing_packages [PACKAGE...]: those of the list that are not
# installed yet; without a list, everything the build and the tests need.
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
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build_all() {
  local werror=OFF
  [ -n "${CI:-}" ] && werror=ON
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANTA_WERROR="$werror" \
    -DCORVANTA_REQUIRE_WINDOW=ON
  cmake --build build -j"$(nproc)"
}

# The Windows program and its tests, cross-built into build-win/. The tests
# that need a module use the Linux build's virtual module (build_all first).
# Release: debug information makes the cross-build several times slower,
# and nothing debugs the .exe under Wine in CI.
build_windows() {
  local werror=OFF
  [ -n "${CI:-}" ] && werror=ON
  cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release -DCORVANTA_WERROR="$werror" \
    -DCORVANTA_HOST_SIM="$PWD/build/sim/corvanta-sim"
  cmake --build build-win -j"$(nproc)"
}

# Shared by scripts/demo and scripts/test: install what a fresh Debian 12
# machine lacks, then configure and build into build/.
# shellcheck shell=bash

# Debian packages the build, the tests and the window need.
CORVANTA_PACKAGES=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev
  fonts-ipafont-gothic
  xvfb xauth
  tshark bluez bluez-test-tools
  clang libclang-rt-14-dev
  imagemagick
  file desktop-file-utils
  # The Windows program: cross compiler, GoogleTest's sources for it, and
  # Wine (32-bit) with a Japanese font to run it headless.
  g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest
  wine wine32 fonts-wine fonts-vlgothic xdotool
)

install_missing_packages() {
  local missing=()
  local package
  for package in "${CORVANTA_PACKAGES[@]}"; do
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

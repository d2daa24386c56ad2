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

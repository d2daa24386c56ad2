# Shared by the scripts that run a test against BlueZ's emulator (btvirt).
#
# btvirt_required: returns when btvirt and a private mount namespace can be
# had; else exits 77 (skipped), or 1 under CI, which has both.
btvirt_required() {
  local why=""
  if ! command -v btvirt >/dev/null 2>&1; then
    why="btvirt is not installed (Debian package bluez-test-tools)"
  elif ! unshare -m true 2>/dev/null; then
    why="cannot make a private mount namespace (unshare -m needs root)"
  fi
  [ -z "$why" ] && return 0
  echo "$(basename "$0"): $why" >&2
  if [ -n "${CI:-}" ]; then exit 1; fi
  exit 77
}

# in_private_tmp COMMAND [ARG]...: runs COMMAND in a mount namespace with a
# /tmp of its own, where btvirt's fixed server path cannot meet another run's.
in_private_tmp() {
  unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /tmp && exec "$@"' sh "$@"
}

# btvirt_peer_copy DIR PEER [PEER_OPTION]... -- REST...: copies PEER into DIR
# (outside the private /tmp, which would hide a build under /tmp) and sets
# peer, peer_args and rest.
btvirt_peer_copy() {
  local dir=$1
  shift
  peer="$dir/$(basename "$1")"
  cp "$1" "$peer" || return 1
  shift
  peer_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    peer_args+=("$1")
    shift
  done
  shift
  rest=("$@")
}

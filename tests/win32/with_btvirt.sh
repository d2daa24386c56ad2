#!/usr/bin/env bash
# Runs a Windows test program under Wine against BlueZ's emulator instead of
# the virtual module: corvanta-btvirt-peer (the Linux build's) plays the
# camera and publishes the host's line as a pty, and COM5 leads there.
#
#   with_btvirt.sh PEER [PEER_OPTION]... -- COMMAND [ARG]...
#
# btvirt serves on a fixed path in /tmp, so the peer runs in a private mount
# namespace with its own /tmp; its ports directory lies outside /tmp, where
# Wine (outside the namespace) can follow COM5 to it.
set -u
ports=${CORVANTA_WINE_PORTS:?run under scripts/test, which makes the Wine prefix}
source "$(dirname "$0")/../../scripts/lib/btvirt.sh"
btvirt_required

dir=$(mktemp -d /var/tmp/corvanta-btvirt-XXXXXX) || exit 1
btvirt_peer_copy "$dir" "$@" || exit 1
set -- "${rest[@]}"

# The peer's own command only waits: the test runs outside the namespace.
in_private_tmp "$peer" "${peer_args[@]}" "$dir/ports" sh -c "while [ ! -e '$dir/done' ]; do sleep 0.1; done" \
  </dev/null >"$dir/peer.log" 2>&1 &
peer_pid=$!
finish() {
  touch "$dir/done"
  wait "$peer_pid" 2>/dev/null
  rm -f "$ports/com5"
  rm -rf "$dir"
}
trap finish EXIT
trap 'exit 143' TERM INT
for _ in $(seq 200); do
  [ -e "$dir/ports/com5" ] && break
  kill -0 "$peer_pid" 2>/dev/null || break
  sleep 0.05
done
if [ ! -e "$dir/ports/com5" ]; then
  echo "with_btvirt: the peer did not publish COM5" >&2
  cat "$dir/peer.log" >&2
  exit 1
fi
rm -f "$ports/com5"
ln -s "$dir/ports/com5" "$ports/com5"
"$@"
status=$?
if [ "$status" -ne 0 ]; then
  echo "== the peer's log" >&2
  cat "$dir/peer.log" >&2
fi
exit "$status"

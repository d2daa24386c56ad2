#!/usr/bin/env bash
# Runs PROGRAM as the only command of corvanta-btvirt-peer, in a private
# mount namespace with its own /tmp (btvirt serves on a fixed path there).
#
#   under_btvirt.sh PEER [PEER_OPTION]... -- PROGRAM [ARG]...
set -u
source "$(dirname "$0")/../../scripts/lib/btvirt.sh"
btvirt_required

# The private /tmp hides a build that lives under /tmp, so the programs run
# from a copy outside it.
dir=$(mktemp -d /var/tmp/corvanta-btvirt-XXXXXX) || exit 1
trap 'rm -rf "$dir"' EXIT
peer="$dir/$(basename "$1")"
cp "$1" "$peer" || exit 1
shift
peer_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  peer_args+=("$1")
  shift
done
shift
program="$dir/$(basename "$1")"
cp "$1" "$program" || exit 1
shift
in_private_tmp "$peer" "${peer_args[@]}" "$dir/ports" "$program" "$@"

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
btvirt_peer_copy "$dir" "$@" || exit 1
program="$dir/$(basename "${rest[0]}")"
cp "${rest[0]}" "$program" || exit 1
in_private_tmp "$peer" "${peer_args[@]}" "$dir/ports" "$program" "${rest[@]:1}"

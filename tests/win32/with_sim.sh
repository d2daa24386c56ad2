#!/usr/bin/env bash
# Runs a Windows test program under Wine against the virtual module (the
# Linux corvanta-sim) on a pty that the Wine prefix maps as COM5, or, given
# --tcp, on a TCP port of the loopback address that its log names.
#
#   with_sim.sh SIM [SIM_OPTION]... -- COMMAND [ARG]...
#
# $CORVANTA_WINE_PORTS is the directory where COM5 points (scripts/lib/wine.sh).
# A file "unplug" appearing there ends the module, as pulling the adapter
# would; "unplugged" then tells the program that the module is gone (a
# Windows program cannot look at the com5 link itself: "com5" names the port).
# A file "stall" stops the module where it is (SIGSTOP), so that it reads
# nothing more and the line fills up; "stalled" says it is done.
set -u
ports=${CORVANTA_WINE_PORTS:?run under scripts/test, which makes the Wine prefix}
sim=$1
shift
sim_args=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  sim_args+=("$1")
  shift
done
shift
rm -f "$ports/unplug" "$ports/unplugged" "$ports/stall" "$ports/stalled" "$ports/com5"
# Nothing of the module may hold ctest's output pipes.
CORVANTA_PORTS=$ports "$sim" --port 5 "${sim_args[@]}" </dev/null >"$ports/sim.log" 2>&1 &
sim_pid=$!
watch_pid=
# The module goes with this script, also when ctest stops it at its timeout.
end_module() {
  kill -CONT "$sim_pid" 2>/dev/null
  kill "$sim_pid" $watch_pid 2>/dev/null
  wait "$sim_pid" $watch_pid 2>/dev/null
  rm -f "$ports/unplug" "$ports/unplugged" "$ports/stall" "$ports/stalled"
}
trap end_module EXIT
trap 'exit 143' TERM INT
ready() { [ -L "$ports/com5" ] || grep -q 'listening on tcp:' "$ports/sim.log" 2>/dev/null; }
for _ in $(seq 200); do
  ready && break
  sleep 0.05
done
if ! ready; then
  echo "with_sim: the virtual module did not publish COM5 nor listen" >&2
  cat "$ports/sim.log" >&2
  exit 1
fi
(
  while kill -0 "$sim_pid" 2>/dev/null; do
    if [ -e "$ports/stall" ] && [ ! -e "$ports/stalled" ]; then
      kill -STOP "$sim_pid"
      touch "$ports/stalled"
    fi
    if [ -e "$ports/unplug" ]; then
      kill "$sim_pid"
      while kill -0 "$sim_pid" 2>/dev/null; do sleep 0.02; done
      touch "$ports/unplugged"
      break
    fi
    sleep 0.05
  done
) </dev/null >/dev/null 2>&1 &
watch_pid=$!
"$@"

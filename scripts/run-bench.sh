#!/usr/bin/env bash
# Runs every benchmark; each prints its figures beside a peer measured in the
# same run. The desktop ones run on a private virtual desktop started and
# stopped by pid.
#
#   scripts/run-bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
for binary in daemon_bench kest_bench_typing kest_bench_input kest_bench_gesture kest_bench_clipboard kest_bench_snapshot kest_bench_capture kest_bench_halo; do
  [[ -x "$build/bench/$binary" ]] || { echo "run-bench: $build/bench/$binary not built" >&2; exit 1; }
done
echo "== daemon: round trip, throughput, one-shot (peers: a bare echo server, /bin/true)"
"$build/bench/daemon_bench"
echo "== typing through XTest (peer: xdotool type)"
"$here/vdesktop.sh" run -- "$build/bench/kest_bench_typing"
echo "== typing and clicking through the daemon (peer: xdotool type, xdotool click)"
"$here/vdesktop.sh" run -- "$build/bench/kest_bench_input"
echo "== gestures through the daemon (peer: the pauses they are meant to take)"
"$here/vdesktop.sh" run -- "$build/bench/kest_bench_gesture"
echo "== clipboard set then get through the daemon and as one-shots (peer: xclip -i, xclip -o)"
"$here/vdesktop.sh" run -- "$build/bench/kest_bench_clipboard"
echo "== snapshot of gtk3-widget-factory (peer: a pyatspi walk)"
"$here/vdesktop.sh" run -- "$build/bench/kest_bench_snapshot"
echo "== screenshots through the daemon (peers: scrot, maim, import -window root)"
"$here/vdesktop.sh" run -- "$build/bench/kest_bench_capture"
echo "== the halo: daemon CPU around a still and a moving 1280 x 800 window, with and without xcompmgr (goal: at most 3 % still)"
"$here/vdesktop.sh" run -- "$build/bench/kest_bench_halo"

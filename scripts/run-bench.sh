#!/usr/bin/env bash
# Runs the benchmarks on a private virtual desktop started and stopped by pid.
#
#   scripts/run-bench.sh [BUILD_DIR]     (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
binary="$build/bench/kest_bench_typing"
[[ -x "$binary" ]] || { echo "run-bench: $binary not built" >&2; exit 1; }
exec "$here/vdesktop.sh" run -- "$binary"

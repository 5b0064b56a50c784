#!/usr/bin/env bash
# Runs the end-to-end tests on a private virtual desktop that this script
# starts and stops by pid (scripts/vdesktop.sh run).
#
#   scripts/run-e2e.sh [BUILD_DIR] [gtest arguments...]
#
# BUILD_DIR defaults to build; the e2e binary and kest-fixture must be built.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
shift || true
binary="$build/tests/e2e/kest_e2e_tests"
[[ -x "$binary" ]] || { echo "run-e2e: $binary not built" >&2; exit 1; }
exec "$here/vdesktop.sh" run -- "$binary" "$@"

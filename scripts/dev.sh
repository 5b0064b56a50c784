#!/usr/bin/env bash
# The edit-test loop: builds what the unit tests and one end-to-end suite
# need, incrementally, in build-dev/ (the test command's main settings, but
# file by file, so that an edit recompiles only its own file), then runs the
# unit tests and that suite on a private virtual desktop.
#
#   scripts/dev.sh                      the unit tests alone
#   scripts/dev.sh SUITE [GTEST_ARG...] and the suite SUITE (e2e_input,
#                                       e2e_snapshot, ...: `scripts/dev.sh --list`),
#                                       with the arguments given to it, e.g.
#                                       --gtest_filter='Typing.*'
#
# Needs the packages that scripts/install-deps.sh installs.
set -euo pipefail
cd "$(dirname "$0")/.."

launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
build=build-dev
if [[ ! -f $build/build.ninja ]]; then
  CC=gcc CXX=g++ cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_WERROR=ON \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_UNITY_BUILD=OFF "${launcher[@]}" >/dev/null
fi

suites() { ctest --test-dir $build -L e2e -N | sed -nE 's/^ +Test +#[0-9]+: (.*)$/\1/p'; }

if [[ "${1:-}" == --list ]]; then
  suites
  exit 0
fi

targets=(kest-core kest_unit_tests kest_front_wire_tests kest_linux_tests)
binary=
if (( $# > 0 )); then
  suite=$1
  shift
  # The suite's command line ends with its test binary, whose name is its target's.
  binary=$(ctest --test-dir $build -N -V -R "^${suite}\$" | sed -nE 's/^.*Test command: .* "--" "?([^"]*)"?$/\1/p' | head -n 1)
  [[ -n "$binary" ]] || { echo "dev: no end-to-end suite named $suite; there are:" >&2; suites >&2; exit 2; }
  targets+=("$(basename "$binary")")
fi

cmake --build $build --target "${targets[@]}"
# Only what did not pass, and the tally.
ctest --test-dir $build -L unit -j2 --output-on-failure | grep -vE '^( +Start +[0-9]+: |[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed )'
if [[ -n "$binary" ]]; then
  scripts/vdesktop.sh run -- "$binary" "$@"
fi

#!/usr/bin/env bash
# Builds kest-core and runs every test on a fresh Debian 12 machine:
#   1. the unit tests (fake desktop, codec, command line, daemon over a socket);
#   2. the same unit tests built with address and undefined-behaviour sanitizers;
#   3. the fuzz targets (request decoder, command line, batch) for a fixed
#      number of runs each;
#   4. the end-to-end tests on a private virtual desktop that this script
#      starts and stops itself (by pid).
# Installs what it needs first (apt-get, as root). Exits non-zero when any
# step fails; the last line sums up every test run.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_RUNS=${KEST_FUZZ_RUNS:-100000}
passed=0
failed=0

scripts/install-deps.sh

# Runs ctest with the arguments and adds its counts to the totals.
run_ctest() {
  local log
  log=$(mktemp)
  local status=0
  ctest "$@" --output-on-failure 2>&1 | tee "$log" || status=$?
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  rm -f "$log"
  if [[ -z "$line" ]]; then
    echo "test.sh: ctest $* reported no result" >&2
    failed=$((failed + 1))
    return
  fi
  local bad total
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  (( status == 0 )) || (( bad > 0 )) || failed=$((failed + 1))
}

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_WERROR=ON
cmake --build build

echo "== unit tests"
run_ctest --test-dir build -L unit

echo "== unit tests under address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKEST_SANITIZE=ON -DKEST_WERROR=ON
cmake --build build-asan --target kest-core kest_unit_tests kest_linux_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest --test-dir build-asan -L unit

echo "== fuzz targets (${FUZZ_RUNS} runs each)"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEST_FUZZ=ON -DKEST_WERROR=ON
cmake --build build-fuzz --target fuzz_request_decoder fuzz_command_line fuzz_batch_positional
for target in request_decoder command_line batch_positional; do
  corpus=$(mktemp -d)
  cp tests/fuzz/corpus/"$target"/* "$corpus/"
  if ./build-fuzz/tests/fuzz/fuzz_"$target" -runs="$FUZZ_RUNS" -max_len=4096 -seed=1 "$corpus" 2>&1 | tail -n 2; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
  fi
  rm -rf "$corpus"
done

if [[ -n "$(ctest --test-dir build -L e2e -N 2>/dev/null | grep -E '^ +Test +#')" ]]; then
  echo "== end-to-end tests on a private virtual desktop"
  run_ctest --test-dir build -L e2e
fi

echo "tests: ${passed} passed, ${failed} failed"
(( failed == 0 ))

#!/usr/bin/env bash
# Builds kest-core and runs every test on a fresh Debian 12 machine:
#   1. the unit tests (fake desktop, codec, command line, daemon over a socket);
#   2. the same unit tests built with address and undefined-behaviour sanitizers;
#   3. the fuzz targets (request decoder over each JSON reader, command line,
#      batch) for a fixed number of runs each;
#   4. the end-to-end tests on a private virtual desktop that this script
#      starts and stops itself (by pid);
#   5. every build type with GCC (Release in full, with its unit tests) and
#      Debug and Release with clang, the install into a staging directory, and
#      the Debian package installed with apt-get, run and removed again.
# Installs what it needs first (apt-get, as root). Exits non-zero when any
# step fails; the last line sums up every test run.
#
# KEST_ONLY_PACKAGING=1 runs step 5 alone; KEST_SKIP_PACKAGING=1 leaves it out.
# Step 5 builds in build-release, build-debug, ... (KEST_PACKAGING_BUILD_PREFIX
# names another prefix than "build").
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_RUNS=${KEST_FUZZ_RUNS:-100000}
ONLY_PACKAGING=${KEST_ONLY_PACKAGING:-0}
SKIP_PACKAGING=${KEST_SKIP_PACKAGING:-0}
PACKAGING_BUILD=${KEST_PACKAGING_BUILD_PREFIX:-build}
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

# Runs a command as one counted check and says how long it took.
check() {
  local name=$1
  shift
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "test.sh: ok: ${name} ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    echo "test.sh: FAILED: ${name} ($((SECONDS - start)) s)"
    return 1
  fi
}

# Configures DIR with warnings as errors and builds the targets (all without
# any): build_with DIR COMPILER TYPE [TARGET...]
build_with() {
  local dir=$1 compiler=$2 type=$3
  shift 3
  local cc=gcc cxx=g++
  [[ "$compiler" == clang ]] && cc=clang cxx=clang++
  CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKEST_WERROR=ON \
    -DCMAKE_INSTALL_PREFIX=/usr >/dev/null || return 1
  if (( $# > 0 )); then
    cmake --build "$dir" --target "$@"
  else
    cmake --build "$dir"
  fi
}

# The files cmake --install puts into DESTDIR, exactly.
installs_expected_files() {
  local stage
  stage=$(mktemp -d)
  DESTDIR="$stage" cmake --install "$1" >/dev/null || { rm -rf "$stage"; return 1; }
  local found expected libdir
  found=$(cd "$stage" && find . -type f | sort)
  libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$1/CMakeCache.txt")
  expected=$(printf '%s\n' ./usr/bin/kest-core ./usr/lib/systemd/user/kest-core.service \
    "./usr/$libdir/kest-core/libkest-engine.so" \
    ./usr/share/bash-completion/completions/kest-core ./usr/share/man/man1/kest-core.1.gz | sort)
  local unit_ok=1
  grep -qx 'ExecStart=/usr/bin/kest-core --daemon' "$stage/usr/lib/systemd/user/kest-core.service" || unit_ok=0
  rm -rf "$stage"
  if [[ "$found" != "$expected" ]]; then
    echo "installed:"; echo "$found"; echo "expected:"; echo "$expected"
    return 1
  fi
  (( unit_ok == 1 )) || { echo "the unit does not run /usr/bin/kest-core --daemon"; return 1; }
}

# groff with every warning on says nothing about the built page.
man_page_formats_cleanly() {
  local warnings
  warnings=$(groff -ww -man -Tutf8 "$1/doc/kest-core.1" 2>&1 >/dev/null)
  [[ -z "$warnings" ]] || { echo "$warnings"; return 1; }
}

# The package's name, contents and computed dependencies.
package_is_complete() {
  local deb=$1 version=$2
  [[ "$(basename "$deb")" == "kest-core_${version}_$(dpkg --print-architecture).deb" ]] || return 1
  local contents
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
  local file
  for file in ./usr/bin/kest-core ./usr/share/man/man1/kest-core.1.gz ./usr/lib/systemd/user/kest-core.service \
    ./usr/share/bash-completion/completions/kest-core; do
    grep -qx "$file" <<<"$contents" || { echo "the package lacks $file"; return 1; }
  done
  grep -q '/kest-core/libkest-engine\.so$' <<<"$contents" || { echo "the package lacks the engine"; return 1; }
  dpkg-deb -f "$deb" Depends | grep -q 'libatspi2.0-0' || { echo "no computed dependencies"; return 1; }
}

installed_program_answers() {
  local version=$1
  [[ "$(/usr/bin/kest-core --version)" == "$version" ]] || return 1
  [[ "$(/usr/bin/kest-core ping)" == '{"id":1,"jsonrpc":"2.0","result":{"pong":true}}' ]]
}

unit_verifies() {
  local report
  report=$(systemd-analyze verify /usr/lib/systemd/user/kest-core.service 2>&1) || { echo "$report"; return 1; }
  [[ -z "$report" ]] || { echo "$report"; return 1; }
}

package_steps() {
  local release=${PACKAGING_BUILD}-release
  echo "== Release build (GCC), with its unit tests"
  if check "Release build (GCC)" build_with "$release" gcc Release; then
    run_ctest --test-dir "$release" -L unit
  fi
  echo "== Debug and MinSizeRel builds (GCC)"
  check "Debug build (GCC)" build_with "${PACKAGING_BUILD}-debug" gcc Debug kest-core || true
  check "MinSizeRel build (GCC)" build_with "${PACKAGING_BUILD}-minsizerel" gcc MinSizeRel kest-core || true
  echo "== Debug and Release builds (clang)"
  check "Debug build (clang)" build_with "${PACKAGING_BUILD}-clang-debug" clang Debug kest-core kest_unit_tests || true
  check "Release build (clang)" build_with "${PACKAGING_BUILD}-clang-release" clang Release kest-core kest_unit_tests \
    || true
  [[ -x "$release/kest-core" ]] || return 0

  echo "== install into a staging directory, the man page"
  check "cmake --install into DESTDIR" installs_expected_files "$release" || true
  check "man page formats without groff warnings" man_page_formats_cleanly "$release" || true

  echo "== the Debian package"
  local version
  version=$("$release/kest-core" --version)
  rm -f "$release"/kest-core_*.deb
  check "cpack -G DEB" bash -c "cd '$release' && cpack -G DEB >/dev/null" || return 0
  local deb
  deb=$(ls "$PWD/$release"/kest-core_*.deb)
  check "package name, contents and dependencies" package_is_complete "$deb" "$version" || true
  if check "apt-get install the package" env DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb"; then
    check "installed kest-core --version and a one-shot ping" installed_program_answers "$version" || true
    if command -v systemd-analyze >/dev/null; then
      check "systemd-analyze verify the user unit" unit_verifies || true
    fi
    check "apt-get remove the package" env DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y kest-core || true
    check "the package is gone" bash -c '! dpkg -s kest-core >/dev/null 2>&1 && [[ ! -e /usr/bin/kest-core ]]' || true
  fi
}

if (( ONLY_PACKAGING == 1 )); then
  package_steps
  echo "tests: ${passed} passed, ${failed} failed"
  (( failed == 0 ))
  exit
fi

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
cmake --build build-fuzz --target fuzz_request_decoder fuzz_front_request_decoder fuzz_command_line \
  fuzz_batch_positional
for target in request_decoder front_request_decoder command_line batch_positional; do
  corpus=$(mktemp -d)
  # The front's request decoder starts from the same requests as the engine's.
  cp tests/fuzz/corpus/"${target#front_}"/* "$corpus/"
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

(( SKIP_PACKAGING == 1 )) || package_steps

echo "tests: ${passed} passed, ${failed} failed"
(( failed == 0 ))

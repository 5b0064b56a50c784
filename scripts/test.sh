#!/usr/bin/env bash
# Builds kest-core and runs every test on a fresh Debian 12 machine:
#   1. the build (RelWithDebInfo, GCC) and its unit tests (fake desktop, codec,
#      command line, daemon over a socket);
#   2. the end-to-end suites on private virtual desktops that they start and
#      stop themselves (by pid);
#   3. meanwhile, at a lower priority: the unit tests built with address and
#      undefined-behaviour sanitizers; the fuzz targets (request decoder over
#      each JSON reader, command line, batch) for a fixed number of runs each;
#      every other build type (Release with GCC and its unit tests, Debug and
#      MinSizeRel with GCC, Debug and Release with clang and their unit tests);
#   4. the install into a staging directory, the man page, and the Debian
#      package built from the Release build, installed with apt-get, run and
#      removed again.
# Installs what it needs first (apt-get, as root). Each step prints one line
# with its duration, and its whole output when it fails; KEST_VERBOSE=1 prints
# every step's output. Exits non-zero when any step fails; the last line sums
# up every test run.
#
# Compilers run through ccache when it is installed (install-deps.sh installs
# it), with paths taken relative to the checkout, so that a second run, in
# this checkout or a fresh clone of the same commit, compiles nothing again.
#
# KEST_ONLY_PACKAGING=1 runs the other build types and the package alone;
# KEST_SKIP_PACKAGING=1 leaves them out. Those builds go into build-release,
# build-debug, ... (KEST_PACKAGING_BUILD_PREFIX names another prefix than
# "build").
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_RUNS=${KEST_FUZZ_RUNS:-100000}
ONLY_PACKAGING=${KEST_ONLY_PACKAGING:-0}
SKIP_PACKAGING=${KEST_SKIP_PACKAGING:-0}
PACKAGING_BUILD=${KEST_PACKAGING_BUILD_PREFIX:-build}
VERBOSE=${KEST_VERBOSE:-0}

# Every step appends "passed failed" to the tally, so that steps run in a
# background lane count as well; logs hold each step's output.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tally=$work/tally.main
: >"$tally"
run_start=$SECONDS

count() { echo "$1 $2" >>"$tally"; }

# step NAME COMMAND...: runs COMMAND as one step, its output kept in a log;
# says how long it took, and prints the log when it failed. A command that
# counts its own tests (with count) makes the step count nothing more when it
# succeeds.
step() {
  local name=$1
  shift
  local log start status=0
  log=$(mktemp "$work/step.XXXXXX")
  start=$SECONDS
  local before
  before=$(wc -l <"$tally")
  if (( VERBOSE == 1 )); then
    "$@" 2>&1 | tee "$log" || status=$?
  else
    "$@" >"$log" 2>&1 || status=$?
  fi
  local counted
  counted=$(( $(wc -l <"$tally") - before ))
  if (( status == 0 )); then
    (( counted > 0 )) || count 1 0
    echo "test.sh: ok: ${name} ($((SECONDS - start)) s)"
  else
    (( counted > 0 )) || count 0 1
    echo "test.sh: FAILED: ${name} ($((SECONDS - start)) s)"
    (( VERBOSE == 1 )) || sed 's/^/    /' "$log"
  fi
  rm -f "$log"
  return "$status"
}

# Runs ctest with the arguments and counts its tests; fails when any failed
# or none ran.
run_ctest() {
  local log status=0
  log=$(mktemp "$work/ctest.XXXXXX")
  ctest "$@" --output-on-failure >"$log" 2>&1 || status=$?
  cat "$log"
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  rm -f "$log"
  if [[ -z "$line" ]]; then
    echo "ctest $* reported no result"
    count 0 1
    return 1
  fi
  local bad total
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  count $((total - bad)) "$bad"
  (( status == 0 && bad == 0 ))
}

# Runs a GoogleTest binary in two shards side by side and counts its tests.
run_gtest() {
  local shard logs=() pids=() status=0 good=0 bad=0 reported=0 g b
  for shard in 0 1; do
    logs+=("$(mktemp "$work/gtest.XXXXXX")")
    GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard "$@" --gtest_brief=1 >"${logs[shard]}" 2>&1 &
    pids+=($!)
  done
  for shard in 0 1; do
    wait "${pids[shard]}" || status=1
    cat "${logs[shard]}"
    g=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\..*/\1/p' "${logs[shard]}" | tail -n 1)
    b=$(sed -nE 's/^\[  FAILED  \] ([0-9]+) tests?, listed below:.*/\1/p' "${logs[shard]}" | tail -n 1)
    [[ -n "$g$b" ]] && reported=$((reported + 1))
    good=$((good + ${g:-0}))
    bad=$((bad + ${b:-0}))
    rm -f "${logs[shard]}"
  done
  (( reported == 2 )) || { echo "$1 reported no result"; count "$good" $((bad + 1)); return 1; }
  count "$good" "$bad"
  (( status == 0 && bad == 0 ))
}

export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-12G}
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

# configure DIR COMPILER TYPE [CMAKE_ARG...]: configures DIR with warnings as
# errors, as a unity build: each target's sources compiled eight to a unit,
# so that the JSON library's templates are instantiated and optimised once per
# unit rather than once per file (a third of the compile time). The clang
# Debug build compiles the engine file by file, so that every engine file is
# still checked to stand on its own includes.
configure() {
  local dir=$1 compiler=$2 type=$3
  shift 3
  local cc=gcc cxx=g++
  [[ "$compiler" == clang ]] && cc=clang cxx=clang++
  CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DKEST_WERROR=ON \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_UNITY_BUILD=ON "${launcher[@]}" "$@"
}

# build_with DIR COMPILER TYPE [TARGET | -DNAME=VALUE]...: configures DIR
# (with the -D settings) and builds the targets (all without any).
build_with() {
  local dir=$1 compiler=$2 type=$3
  shift 3
  local settings=() targets=() arg
  for arg in "$@"; do
    if [[ "$arg" == -D* ]]; then settings+=("$arg"); else targets+=(--target "$arg"); fi
  done
  configure "$dir" "$compiler" "$type" "${settings[@]}" || return 1
  cmake --build "$dir" "${targets[@]}"
}

# Builds the fuzz targets with clang and runs each from its corpus.
fuzz_target() {
  local target=$1 corpus status=0
  corpus=$(mktemp -d "$work/corpus.XXXXXX")
  # The front's request decoder starts from the same requests as the engine's.
  cp tests/fuzz/corpus/"${target#front_}"/* "$corpus/"
  ./build-fuzz/tests/fuzz/fuzz_"$target" -runs="$FUZZ_RUNS" -max_len=4096 -seed=1 "$corpus" || status=$?
  rm -rf "$corpus"
  return "$status"
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

# The sanitizer build and the fuzz targets, each with its runs.
sanitizer_and_fuzz_steps() {
  if step "sanitizer build (GCC Debug, address and undefined)" \
    build_with build-asan gcc Debug kest-core kest_unit_tests kest_linux_tests -DKEST_SANITIZE=ON; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      step "unit tests under the sanitizers" run_ctest --test-dir build-asan -L unit -j2 || true
  fi
  # Optimised as fuzzing builds usually are (-O1, line tables only): it
  # compiles in half the time of -O2 -g and runs as fast.
  if step "fuzz build (clang)" build_with build-fuzz clang RelWithDebInfo \
    fuzz_request_decoder fuzz_front_request_decoder fuzz_command_line fuzz_batch_positional -DKEST_FUZZ=ON \
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only -DNDEBUG"; then
    local target
    for target in request_decoder front_request_decoder command_line batch_positional; do
      step "fuzz ${target} (${FUZZ_RUNS} runs)" fuzz_target "$target" || true
    done
  fi
}

# Every other build type; a build that only checks a compiler or build type
# leaves out the end-to-end suites and the benchmarks.
build_type_steps() {
  local release=${PACKAGING_BUILD}-release
  if step "Release build (GCC)" build_with "$release" gcc Release -DKEST_DESKTOP_TESTS=OFF; then
    step "unit tests (Release, GCC)" run_ctest --test-dir "$release" -L unit -j2 || true
  fi
  step "Debug build (GCC)" build_with "${PACKAGING_BUILD}-debug" gcc Debug kest-core || true
  step "MinSizeRel build (GCC)" build_with "${PACKAGING_BUILD}-minsizerel" gcc MinSizeRel kest-core || true
  local type dir
  for type in Debug Release; do
    dir=${PACKAGING_BUILD}-clang-${type,,}
    local unity=ON
    [[ "$type" == Debug ]] && unity=OFF
    if step "${type} build (clang)" build_with "$dir" clang "$type" kest-core kest_unit_tests \
      -DKEST_DESKTOP_TESTS=OFF -DCMAKE_UNITY_BUILD=$unity -DKEST_UNITY_TESTS=ON; then
      step "unit tests (${type}, clang)" run_gtest "$dir/tests/kest_unit_tests" || true
    fi
  done
}

# The install, the man page and the Debian package, from the Release build.
package_steps() {
  local release=${PACKAGING_BUILD}-release
  [[ -x "$release/kest-core" ]] || return 0
  step "cmake --install into DESTDIR" installs_expected_files "$release" || true
  step "man page formats without groff warnings" man_page_formats_cleanly "$release" || true

  local version
  version=$("$release/kest-core" --version)
  rm -f "$release"/kest-core_*.deb
  step "cpack -G DEB" bash -c "cd '$release' && cpack -G DEB" || return 0
  local deb
  deb=$(ls "$PWD/$release"/kest-core_*.deb)
  step "package name, contents and dependencies" package_is_complete "$deb" "$version" || true
  if step "apt-get install the package" env DEBIAN_FRONTEND=noninteractive apt-get install -y "$deb"; then
    step "installed kest-core --version and a one-shot ping" installed_program_answers "$version" || true
    if command -v systemd-analyze >/dev/null; then
      step "systemd-analyze verify the user unit" unit_verifies || true
    fi
    step "apt-get remove the package" env DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y kest-core || true
    step "the package is gone" bash -c '! dpkg -s kest-core >/dev/null 2>&1 && [[ ! -e /usr/bin/kest-core ]]' || true
  fi
}

finish() {
  local passed=0 failed=0 p f
  while read -r p f; do
    passed=$((passed + p))
    failed=$((failed + f))
  done < <(cat "$work"/tally.*)
  echo "test.sh: all steps took $((SECONDS - run_start)) s"
  echo "tests: ${passed} passed, ${failed} failed"
  (( failed == 0 ))
}

step "install the packages it needs" scripts/install-deps.sh || { finish; exit 1; }

if (( ONLY_PACKAGING == 1 )); then
  build_type_steps
  package_steps
  finish
  exit
fi

if ! step "build (GCC RelWithDebInfo)" build_with build gcc RelWithDebInfo; then
  finish
  exit 1
fi
step "unit tests" run_ctest --test-dir build -L unit -j2 || true

# The end-to-end suites spend most of their time waiting for applications, so
# the other builds run beside them, at a lower priority so that they take only
# what the suites leave, in two lanes side by side, so that one's
# single-threaded stretches (fuzzing, a test binary's last test, configuring)
# leave no core idle.
lane() {
  local name=$1
  shift
  (
    renice -n 19 -p "$BASHPID" >/dev/null || true
    tally=$work/tally.$name
    : >"$tally"
    local steps
    for steps in "$@"; do "$steps"; done
  ) >"$work/$name.log" 2>&1 &
}
lane sanitizers sanitizer_and_fuzz_steps
lanes=("$!:sanitizers")
if (( SKIP_PACKAGING == 0 )); then
  lane build-types build_type_steps
  lanes+=("$!:build-types")
fi

step "end-to-end suites on private virtual desktops" run_ctest --test-dir build -L e2e || true
# Each lane's lines, as they come and once it ends.
for entry in "${lanes[@]}"; do
  tail -n +1 -f --pid="${entry%%:*}" "$work/${entry#*:}.log"
  wait "${entry%%:*}" || true
done

(( SKIP_PACKAGING == 1 )) || package_steps
finish

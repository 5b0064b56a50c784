#!/usr/bin/env bash
# The main job: builds kest-core, brings up a private virtual desktop with the
# fixture application, and runs a scripted client session against the daemon,
# printing every request and response. Stops everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh >&2
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
cmake --build build --target kest-core kest-fixture >&2

exec scripts/vdesktop.sh run --app "$PWD/build/tests/fixture_app/kest-fixture" -- \
  python3 scripts/demo_session.py "$PWD/build/kest-core"

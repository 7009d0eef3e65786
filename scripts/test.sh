#!/usr/bin/env bash
# Installs what the tests need, builds, and runs the whole suite:
# unit and integration tests, then the unit tests again under ASan+UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test

jobs=$(nproc)
preset=default
[ "${CI:-}" = "true" ] && preset=ci

cmake --preset "$preset"
cmake --build --preset "$preset" -j "$jobs"
# Integration tests start their own servers; two at a time keeps a 2-core machine responsive.
ctest --preset "$preset" -j 2 --timeout 600

cmake --preset asan
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" --timeout 600

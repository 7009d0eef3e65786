#!/usr/bin/env bash
# Installs the dependencies, builds Parlando and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)"
exec build/default/apps/parlando "$@"

#!/usr/bin/env bash
# Debian 12 packages the build, the tests and the test services need.
# Each feature keeps its own section.
set -euo pipefail
packages=()

# --- speech (recognition client, fake-deepgram, parlando-transcribe) ---
packages+=(qt6-base-dev qt6-websockets-dev nlohmann-json3-dev libsndfile1-dev libsoxr-dev
           libgtest-dev libgmock-dev libbenchmark-dev
           python3-websockets openssl  # interoperability tests (plain and TLS)
           clang espeak-ng sox)        # libFuzzer target; making test speech by hand

apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}"

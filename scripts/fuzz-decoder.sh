#!/usr/bin/env bash
# Long fuzzing run of a message decoder (libFuzzer, clang, AddressSanitizer +
# UBSan): the recognition service's results (speech_decoder, the default) or
# TDLib's events (telegram_events). The normal build and test suite run the
# same targets for a few seconds; this is for hours.
#
#   scripts/fuzz-decoder.sh [TARGET] [SECONDS] [extra libFuzzer flags...]
#
# Builds into build/fuzz, keeps the grown corpus in build/fuzz/<TARGET>-corpus
# and any crashing input as build/fuzz/<TARGET>-crash-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
target=speech_decoder
if [ -n "${1:-}" ] && [ -f "$root/tests/fuzz/$1.cpp" ]; then
  target=$1
  shift
fi
seconds=${1:-3600}
shift || true
out="$root/build/fuzz"
mkdir -p "$out/$target-corpus"
cxx=${CLANGXX:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz-decoder: $cxx not found (apt-get install clang)" >&2; exit 2; }

sources=()
while read -r s; do [ -n "$s" ] && sources+=("$root/src/$s"); done < "$root/tests/fuzz/$target.sources"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" "$root/tests/fuzz/$target.cpp" "${sources[@]}" -o "$out/fuzz_$target"

cd "$out"
exec "./fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$out/$target-" "$@" "$target-corpus" "$root/tests/fuzz/${target}_corpus"

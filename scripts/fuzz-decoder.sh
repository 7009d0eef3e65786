#!/usr/bin/env bash
# Long fuzzing run of the recognition service's message decoder (libFuzzer,
# clang, AddressSanitizer + UBSan). The normal build and test suite run the
# same target for a few seconds; this is for hours.
#
#   scripts/fuzz-decoder.sh [SECONDS] [extra libFuzzer flags...]
#
# Builds into build/fuzz, keeps the grown corpus in build/fuzz/corpus and any
# crashing input as build/fuzz/crash-*.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-3600}
shift || true
out="$root/build/fuzz"
mkdir -p "$out/corpus"
cxx=${CLANGXX:-clang++}
command -v "$cxx" >/dev/null || { echo "fuzz-decoder: $cxx not found (apt-get install clang)" >&2; exit 2; }

sources=()
while read -r s; do [ -n "$s" ] && sources+=("$root/src/$s"); done < "$root/tests/fuzz/speech_decoder.sources"
"$cxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" "$root/tests/fuzz/speech_decoder.cpp" "${sources[@]}" -o "$out/fuzz_speech_decoder"

cd "$out"
exec ./fuzz_speech_decoder -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$out/" "$@" corpus "$root/tests/fuzz/speech_decoder_corpus"

#!/usr/bin/env bash
# Builds the code conversion fuzzer with clang and runs it for the given number of seconds
# (default 60): scripts/fuzz.sh 60
# The build goes to build-fuzz/ (or $FUZZ_BUILD_DIR); the corpus grows in build-fuzz/codawa_corpus.
set -euo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARSEL_BUILD_FUZZ=ON -DTARSEL_BUILD_TESTS=OFF -DTARSEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target codawa_fuzz
mkdir -p "$build/codawa_corpus"
exec "$build/fuzz/codawa_fuzz" -max_total_time="$seconds" -max_len=1024 \
  -dict="$root/fuzz/codawa.dict" -print_final_stats=1 "$build/codawa_corpus"

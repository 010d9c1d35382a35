#!/usr/bin/env bash
# Builds one libFuzzer target with clang (ASan + UBSan) and runs it for the given number of
# seconds (default 60):
#   scripts/fuzz.sh TARGET [SECONDS] [libFuzzer options...]
#   scripts/fuzz.sh control 600
# TARGET is a file fuzz/TARGET_fuzz.cpp (codawa, control, parsers); "scripts/fuzz.sh 60" alone runs
# codawa. The build goes to build-fuzz/ (or $FUZZ_BUILD_DIR); the corpus grows in
# build-fuzz/TARGET_corpus, starting from the committed seeds in fuzz/corpus/TARGET, and a
# failing input lands in build-fuzz/ as crash-*. Replay one with:
#   build-fuzz/fuzz/TARGET_fuzz build-fuzz/crash-...
# The control target reads a few switches from the environment (CONTROL_FUZZ_TRAIL,
# CONTROL_FUZZ_NO_FLOODS, CONTROL_FUZZ_KNOWN; see fuzz/control_fuzz.cpp). A long run that
# goes on past findings and leaves one core free:
#   CONTROL_FUZZ_NO_FLOODS=1 scripts/fuzz.sh control 5400 -fork=1 -ignore_crashes=1
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
target=codawa
if [[ $# -gt 0 && ! $1 =~ ^[0-9]+$ ]]; then
  target=$1
  shift
fi
seconds="${1:-60}"
[[ $# -gt 0 ]] && shift
if [[ ! -f $root/fuzz/${target}_fuzz.cpp ]]; then
  echo "fuzz.sh: no target fuzz/${target}_fuzz.cpp" >&2
  exit 2
fi
build="${FUZZ_BUILD_DIR:-$root/build-fuzz}"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARSEL_BUILD_FUZZ=ON -DTARSEL_BUILD_TESTS=OFF -DTARSEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target "${target}_fuzz"

# Per target: the longest input worth mutating, and the dictionary if there is one.
case $target in
  codawa | parsers) max_len=1024 ;;
  queue) max_len=256 ;;
  *) max_len=4096 ;;
esac
options=(-max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1
  -artifact_prefix="$build/")
[[ -f $root/fuzz/$target.dict ]] && options+=(-dict="$root/fuzz/$target.dict")
corpus="$build/${target}_corpus"
mkdir -p "$corpus"
seeds=()
[[ -d $root/fuzz/corpus/$target ]] && seeds=("$root/fuzz/corpus/$target")
cd "$build"
exec "$build/fuzz/${target}_fuzz" "${options[@]}" "$@" "$corpus" "${seeds[@]}"

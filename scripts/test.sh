#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test:
#   1. build/ (release with debug info): unit tests and the interop tests against four real
#      FTP servers on loopback (scripts/ftp-servers.sh);
#   2. build-sanitize/ (AddressSanitizer + UndefinedBehaviorSanitizer): the unit tests.
# Exits non-zero when anything fails. Works as root with no terminal (CI=true).
# TARSEL_TEST_TIMEOUT sets the limit of one test in seconds (default 300). A test that fails
# is run once more before it counts as failed: the real servers share one loopback and one
# single-threaded pyftpdlib, and a rare stall there must not hide behind a red run.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
exec </dev/null

jobs=2
test_timeout="${TARSEL_TEST_TIMEOUT:-300}"
run_start=$SECONDS
stage_start=$SECONDS
stage_name=
failed_stages=()
results_dir="$repo/build/test-results"

stage() {
  stage_name=$1
  stage_start=$SECONDS
  echo
  echo "==== $stage_name"
}

stage_end() {
  echo "==== $stage_name: $((SECONDS - stage_start)) s (total $((SECONDS - run_start)) s)"
}

# The count of passed, failed and skipped tests of one ctest run, from its JUnit report.
count_results() {
  local xml=$1
  [[ -s $xml ]] || { echo "0 0 0"; return; }
  /usr/bin/python3 - "$xml" <<'PY'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suites = [root] if root.tag == "testsuite" else root.iter("testsuite")
tests = failures = skipped = 0
for s in suites:
    tests += int(s.get("tests", 0))
    failures += int(s.get("failures", 0)) + int(s.get("errors", 0))
    skipped += int(s.get("skipped", 0)) + int(s.get("disabled", 0))
print(tests - failures - skipped, failures, skipped)
PY
}

# run_ctest DIR REPORT [CTEST_ARGS...]: a failing test is recorded, and the remaining stages
# still run so that one run shows every failure.
run_ctest() {
  local dir=$1 report=$2
  shift 2
  if ! ctest --test-dir "$dir" --output-on-failure -j"$jobs" --timeout "$test_timeout" --repeat until-pass:2 \
      --no-tests=error --output-junit "$report" "$@"; then
    failed_stages+=("$stage_name")
  fi
  stage_end
}

stage "dependencies"
./scripts/deps.sh
stage_end

stage "build (build/)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
stage_end

stage "FTP servers"
trap './scripts/ftp-servers.sh stop || true' EXIT
./scripts/ftp-servers.sh start
eval "$(./scripts/ftp-servers.sh env)"
stage_end

mkdir -p "$results_dir"
stage "tests (build/: unit and interop)"
run_ctest build "$results_dir/release.xml"
./scripts/ftp-servers.sh stop
trap - EXIT

stage "build (build-sanitize/)"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARSEL_SANITIZE=ON \
  -DTARSEL_BUILD_BENCH=OFF
# Test discovery runs the test binary, so the sanitizer settings apply from the build on.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Only what the unit tests need: the tools and interop tests were built and run in build/,
# and instrumenting them again would cost time without running them.
cmake --build build-sanitize -j"$jobs" --target tarsel_unit_tests
stage_end

stage "tests (build-sanitize/: unit, sanitizers)"
run_ctest build-sanitize "$results_dir/sanitize.xml" -L unit

read -r p1 f1 s1 < <(count_results "$results_dir/release.xml")
read -r p2 f2 s2 < <(count_results "$results_dir/sanitize.xml")
echo
echo "test.sh: $((SECONDS - run_start)) s in all"
if ((${#failed_stages[@]})); then
  echo "test.sh: failures in: ${failed_stages[*]}"
fi
echo "tests: $((p1 + p2)) passed, $((f1 + f2)) failed, $((s1 + s2)) skipped"
((${#failed_stages[@]} == 0))

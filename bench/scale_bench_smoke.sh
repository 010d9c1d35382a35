#!/usr/bin/env bash
# A short run of the scale benchmark's two programs against the local vsftpd, so that they keep
# working between benchmark runs: 20 sessions each log in and download the same file at once,
# and every byte of every download must arrive.
#
#   scale_bench_smoke.sh BENCH_BUILD_DIR
#
# Needs scripts/ftp-servers.sh's exports; exits 77 (skipped) when vsftpd is not running.
set -euo pipefail

bin=$1
[[ -n ${TARSEL_VSFTPD_PORT:-} && -n ${TARSEL_VSFTPD_ROOT:-} ]] || { echo "vsftpd is not running: skipped"; exit 77; }
host=${TARSEL_VSFTPD_HOST:-127.0.0.1} port=$TARSEL_VSFTPD_PORT root=$TARSEL_VSFTPD_ROOT
n=20 size=262144
name="scale-smoke-$$.bin"
trap 'rm -f "$root/upload/$name"' EXIT
head -c $size /dev/urandom >"$root/upload/$name"
chmod 644 "$root/upload/$name"

for prog in scale_bench curl_multi_bench; do
  [[ -x $bin/$prog ]] || { echo "$prog is not built: left out"; continue; }
  line=$(timeout 60 "$bin/$prog" get "$host" "$port" $n "upload/$name") || {
    echo "scale_bench_smoke: $prog failed: $line" >&2
    exit 1
  }
  echo "$line"
  [[ $line == *" failed=0 "* ]] || { echo "scale_bench_smoke: $prog reports failures" >&2; exit 1; }
  [[ $line == *" bytes=$((n * size)) "* ]] || { echo "scale_bench_smoke: $prog lost bytes" >&2; exit 1; }
done

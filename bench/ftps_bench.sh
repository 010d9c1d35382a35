#!/usr/bin/env bash
# FTPS throughput of tarsel-ftp against curl, on the same local vsftpd with TLS required for
# login and data (explicit FTPS, session reuse required), in one run.
#
#   bench/ftps_bench.sh            (RUNS=5 SIZE_MIB=1024 by default)
#
# Runs alternate between the two programs so that both see the same machine state:
#   1. download of a SIZE_MIB file to /dev/null (tarsel-ftp --tls explicit, curl --ssl-reqd)
#   2. upload of the same file from the page cache
# Both use passive mode and the test CA (scripts/tls-certs.sh). Prints the median throughput
# of each, the ratios and the peak resident memory (/usr/bin/time), and checks them against
# the bars: download and upload >= 0.9 x curl, peak RSS < 16 MiB. Exits 1 when a bar is
# missed. Starts vsftpd_tls with scripts/ftp-servers.sh if it is not running.
# TARSEL_FTP may name the tarsel-ftp binary; otherwise build/ then build-ftp/ are searched.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs=${RUNS:-5}
size_mib=${SIZE_MIB:-1024}

die() { echo "ftps_bench: $*" >&2; exit 2; }

ftp_bin=${TARSEL_FTP:-}
if [[ -z $ftp_bin ]]; then
  for dir in build build-ftp; do
    if [[ -x $repo/$dir/tools/tarsel-ftp/tarsel-ftp ]]; then
      ftp_bin=$repo/$dir/tools/tarsel-ftp/tarsel-ftp
      break
    fi
  done
fi
[[ -n $ftp_bin && -x $ftp_bin ]] || die "no tarsel-ftp binary (build it, or set TARSEL_FTP)"
command -v curl >/dev/null || die "curl is missing (scripts/deps.sh)"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing (scripts/deps.sh)"

eval "$("$repo/scripts/ftp-servers.sh" env)"
if [[ -z ${TARSEL_VSFTPD_TLS_PORT:-} ]]; then
  "$repo/scripts/ftp-servers.sh" start vsftpd_tls >&2
  eval "$("$repo/scripts/ftp-servers.sh" env)"
fi
port=$TARSEL_VSFTPD_TLS_PORT
root=$TARSEL_VSFTPD_TLS_ROOT
upload=${TARSEL_VSFTPD_TLS_UPLOAD:-upload}
ca=$TARSEL_TLS_CA
url="ftp://127.0.0.1:$port"
tls=(--tls explicit --cacert "$ca")
curl_tls=(--ssl-reqd --cacert "$ca")
bytes=$((size_mib * 1024 * 1024))

# ---- the files, made once and kept in the server's root (a server restart wipes them)
data="$root/tarsel-bench"
mkdir -p "$data"
chmod 755 "$data"
if [[ ! -f $data/big.bin || $(stat -c %s "$data/big.bin") -ne $bytes ]]; then
  echo "making $size_mib MiB of random bytes" >&2
  head -c "$bytes" /dev/urandom >"$data/big.bin.tmp"
  mv "$data/big.bin.tmp" "$data/big.bin"
fi
chmod 644 "$data/big.bin"
# Both programs read the upload source from the page cache.
cat "$data/big.bin" >/dev/null

# calc EXPR: floating-point arithmetic and comparisons (1 or 0).
calc() { awk "BEGIN { print ($1) }"; }

results=$(mktemp -d)
trap 'rm -rf "$results"; rm -f "$root/$upload"/bench-up-*' EXIT

# measure NAME COMMAND...: one run; appends "wall_seconds peak_kib cpu_seconds" to
# $results/NAME (cpu: user + system time of the program itself).
measure() {
  local name=$1
  shift
  local start end
  start=$(date +%s.%N)
  if ! /usr/bin/time -f '%M %U %S' -o "$results/rss" "$@" >/dev/null 2>"$results/err"; then
    cat "$results/err" >&2
    die "run of $name failed: $*"
  fi
  end=$(date +%s.%N)
  read -r rss user sys < <(tail -n 1 "$results/rss")
  echo "$(calc "$end - $start") $rss $(calc "$user + $sys")" >>"$results/$name"
}

for ((i = 1; i <= runs; i++)); do
  echo "round $i of $runs" >&2
  measure tarsel_get "$ftp_bin" "${tls[@]}" --port "$port" --passive 127.0.0.1 \
    -c "get tarsel-bench/big.bin /dev/null"
  measure curl_get curl -s -S "${curl_tls[@]}" -o /dev/null "$url/tarsel-bench/big.bin"

  measure tarsel_put "$ftp_bin" "${tls[@]}" --port "$port" --passive 127.0.0.1 \
    -c "put $data/big.bin $upload/bench-up-tarsel-$i"
  rm -f "$root/$upload/bench-up-tarsel-$i"
  measure curl_put curl -s -S "${curl_tls[@]}" -T "$data/big.bin" "$url/$upload/bench-up-curl-$i"
  rm -f "$root/$upload/bench-up-curl-$i"
done

# median NAME [FIELD]: median wall seconds (field 1) or CPU seconds (field 3);
# peak NAME: largest peak RSS in KiB.
median() {
  cut -d' ' -f"${2:-1}" "$results/$1" | sort -g |
    awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
peak() { cut -d' ' -f2 "$results/$1" | sort -g | tail -n 1; }
mbps() { calc "$bytes / $1 / 1000000"; }

printf '\n%d runs each, %d MiB, vsftpd (explicit FTPS) on 127.0.0.1:%s, passive mode, sink /dev/null\n' \
  "$runs" "$size_mib" "$port"
printf '%-12s %10s %8s %12s %14s\n' "" "median s" "MB/s" "median CPU s" "peak RSS KiB"
for name in tarsel_get curl_get tarsel_put curl_put; do
  m=$(median "$name")
  printf '%-12s %10.3f %8.0f %12.3f %14d\n' "$name" "$m" "$(mbps "$m")" "$(median "$name" 3)" \
    "$(peak "$name")"
done

get_ratio=$(calc "$(median curl_get) / $(median tarsel_get)")
put_ratio=$(calc "$(median curl_put) / $(median tarsel_put)")
get_rss=$(peak tarsel_get)

status=0
check() {  # check LABEL OK? TEXT
  if (($2)); then echo "  ok    $1: $3"; else echo "  MISS  $1: $3"; status=1; fi
}
echo
check "download vs curl" "$(calc "$get_ratio >= 0.9")" "$(printf '%.2f x (bar 0.90)' "$get_ratio")"
check "upload vs curl" "$(calc "$put_ratio >= 0.9")" "$(printf '%.2f x (bar 0.90)' "$put_ratio")"
check "download peak memory" "$((get_rss < 16384))" "$get_rss KiB (bar 16384 KiB)"
put_rss=$(peak tarsel_put)
check "upload peak memory" "$((put_rss < 16384))" "$put_rss KiB (bar 16384 KiB)"
exit $status

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

bench_name=ftps_bench
# shellcheck source=bench/bench_runs.sh
source "$repo/bench/bench_runs.sh"

use_server vsftpd_tls
ca=$TARSEL_TLS_CA
tls=(--tls explicit --cacert "$ca")
curl_tls=(--ssl-reqd --cacert "$ca")
bytes=$((size_mib * 1024 * 1024))

make_random_file

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


printf '\n%d runs each, %d MiB, vsftpd (explicit FTPS) on 127.0.0.1:%s, passive mode, sink /dev/null\n' \
  "$runs" "$size_mib" "$port"
table tarsel_get curl_get tarsel_put curl_put

get_ratio=$(calc "$(median curl_get) / $(median tarsel_get)")
put_ratio=$(calc "$(median curl_put) / $(median tarsel_put)")
get_rss=$(peak tarsel_get)

echo
check "download vs curl" "$(calc "$get_ratio >= 0.9")" "$(printf '%.2f x (bar 0.90)' "$get_ratio")"
check "upload vs curl" "$(calc "$put_ratio >= 0.9")" "$(printf '%.2f x (bar 0.90)' "$put_ratio")"
check "download peak memory" "$((get_rss < 16384))" "$get_rss KiB (bar 16384 KiB)"
put_rss=$(peak tarsel_put)
check "upload peak memory" "$((put_rss < 16384))" "$put_rss KiB (bar 16384 KiB)"
exit $status

#!/usr/bin/env bash
# Transfer throughput of tarsel-ftp against curl, on the same local vsftpd, in one run.
#
#   bench/transfer_bench.sh            (RUNS=5 SIZE_MIB=1024 by default)
#
# Runs alternate between the two programs so that both see the same machine state:
#   1. download of a SIZE_MIB file to /dev/null (tarsel-ftp get FILE /dev/null, curl -o /dev/null)
#   2. upload of the same file from the page cache (tarsel-ftp put, curl -T)
#   3. tarsel-ftp download of SIZE_MIB of EUC-JP text with --filecode EUC (converted to
#      Shift_JIS on the way), to /dev/null; curl fetches the same bytes unconverted for scale.
# Both use passive mode. Prints the median throughput of each, the ratios and the peak
# resident memory (/usr/bin/time), and checks them against the bars:
#   download >= 1.0 x curl, upload >= 0.9 x curl, download peak RSS < 16 MiB, EUC >= 500 MB/s.
# Exits 1 when a bar is missed. Starts vsftpd with scripts/ftp-servers.sh if it is not running.
# TARSEL_FTP may name the tarsel-ftp binary; otherwise build/ then build-ftp/ are searched.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs=${RUNS:-5}
size_mib=${SIZE_MIB:-1024}

bench_name=transfer_bench
# shellcheck source=bench/bench_runs.sh
source "$repo/bench/bench_runs.sh"
command -v iconv >/dev/null || die "iconv is missing"

use_server vsftpd
bytes=$((size_mib * 1024 * 1024))

# ---- the files, made once and kept in the server's root (a server restart wipes them)
make_random_file
if [[ ! -f $data/text.euc || $(stat -c %s "$data/text.euc") -ne $bytes ]]; then
  echo "making $size_mib MiB of EUC-JP text" >&2
  line='日本語のテキストです。ファイル転送の速度を測っています。漢字かなカナ ASCII 0123456789'
  # One MiB of whole lines, then repeated; the last line is cut to the exact size.
  tmp=$(mktemp)
  while (($(stat -c %s "$tmp") < 1048576)); do printf '%s\n' "$line" >>"$tmp"; done
  iconv -f UTF-8 -t EUC-JP "$tmp" >"$tmp.euc"
  for ((i = 0; i < size_mib + 1; i++)); do cat "$tmp.euc"; done | head -c "$bytes" >"$data/text.euc.tmp"
  mv "$data/text.euc.tmp" "$data/text.euc"
  rm -f "$tmp" "$tmp.euc"
fi
chmod 644 "$data/text.euc"

for ((i = 1; i <= runs; i++)); do
  echo "round $i of $runs" >&2
  measure tarsel_get "$ftp_bin" --port "$port" --passive 127.0.0.1 \
    -c "get tarsel-bench/big.bin /dev/null"
  measure curl_get curl -s -S -o /dev/null "$url/tarsel-bench/big.bin"

  measure tarsel_put "$ftp_bin" --port "$port" --passive 127.0.0.1 \
    -c "put $data/big.bin $upload/bench-up-tarsel-$i"
  rm -f "$root/$upload/bench-up-tarsel-$i"
  measure curl_put curl -s -S -T "$data/big.bin" "$url/$upload/bench-up-curl-$i"
  rm -f "$root/$upload/bench-up-curl-$i"

  measure tarsel_euc "$ftp_bin" --port "$port" --passive --filecode EUC 127.0.0.1 \
    -c "get tarsel-bench/text.euc /dev/null"
  measure curl_euc curl -s -S -o /dev/null "$url/tarsel-bench/text.euc"
done


printf '\n%d runs each, %d MiB, vsftpd on 127.0.0.1:%s, passive mode, sink /dev/null\n' \
  "$runs" "$size_mib" "$port"
table tarsel_get curl_get tarsel_put curl_put tarsel_euc curl_euc

get_ratio=$(calc "$(median curl_get) / $(median tarsel_get)")
put_ratio=$(calc "$(median curl_put) / $(median tarsel_put)")
euc_mbps=$(mbps "$(median tarsel_euc)")
get_rss=$(peak tarsel_get)

echo
check "download vs curl" "$(calc "$get_ratio >= 1.0")" "$(printf '%.2f x (bar 1.00)' "$get_ratio")"
check "upload vs curl" "$(calc "$put_ratio >= 0.9")" "$(printf '%.2f x (bar 0.90)' "$put_ratio")"
check "download peak memory" "$((get_rss < 16384))" "$get_rss KiB (bar 16384 KiB)"
check "EUC download" "$(calc "$euc_mbps >= 500")" "$(printf '%.0f MB/s (bar 500)' "$euc_mbps")"
exit $status

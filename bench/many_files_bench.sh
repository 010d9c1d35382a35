#!/usr/bin/env bash
# Many small files with tarsel-ftp against curl, on the same local vsftpd, in one run.
#
#   bench/many_files_bench.sh          (RUNS=5 FILES=500 FILE_KIB=16 by default)
#
# Runs alternate between the two programs so that both see the same machine state:
#   1. download of FILES files of FILE_KIB KiB: tarsel-ftp `mget DIR/*` (one NLST, then one
#      RETR each) against curl with a URL range (`f[1-N].bin`, one connection reused);
#   2. upload of the same files: tarsel-ftp `mput DIR/*` against curl -T with a range.
# Both use passive mode on one control connection. Prints the median time, files per
# second, the ratios and the peak resident memory; there are no bars to miss here.
# TARSEL_FTP may name the tarsel-ftp binary; otherwise build/ then build-ftp/ are searched.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs=${RUNS:-5}
files=${FILES:-500}
file_kib=${FILE_KIB:-16}

bench_name=many_files_bench
# shellcheck source=bench/bench_runs.sh
source "$repo/bench/bench_runs.sh"

use_server vsftpd
bytes=$((files * file_kib * 1024))

# ---- the files, made once in the server's root and once locally for the uploads
data="$root/tarsel-bench/many-$files-$file_kib"
if [[ ! -f $data/f$files.bin ]]; then
  echo "making $files files of $file_kib KiB" >&2
  mkdir -p "$data"
  for ((i = 1; i <= files; i++)); do head -c $((file_kib * 1024)) /dev/urandom >"$data/f$i.bin"; done
fi
chmod 755 "$root/tarsel-bench" "$data"
chmod 644 "$data"/*.bin
cat "$data"/*.bin >/dev/null
remote_dir=${data#"$root"/}

for ((i = 1; i <= runs; i++)); do
  echo "round $i of $runs" >&2
  for tool in tarsel curl; do
    out="$results/down-$tool-$i"
    mkdir -p "$out"
    if [[ $tool == tarsel ]]; then
      measure tarsel_mget "$ftp_bin" --port "$port" --passive --no-progress 127.0.0.1 \
        -c "lcd $out; mget $remote_dir/*"
    else
      measure curl_glob curl -s -S -o "$out/f#1.bin" "$url/$remote_dir/f[1-$files].bin"
    fi
    [[ $(ls "$out" | wc -l) -eq $files ]] || die "$tool fetched $(ls "$out" | wc -l) of $files files"
    cmp -s "$out/f$files.bin" "$data/f$files.bin" || die "$tool fetched f$files.bin wrong"
    rm -rf "$out"
  done

  for tool in tarsel curl; do
    dir="$upload/bench-many-$tool-$i"
    mkdir -p "$root/$dir"
    chown --reference="$root/$upload" "$root/$dir"
    if [[ $tool == tarsel ]]; then
      measure tarsel_mput "$ftp_bin" --port "$port" --passive --no-progress 127.0.0.1 \
        -c "cd $dir; mput $data/*.bin"
    else
      measure curl_put curl -s -S -T "$data/f[1-$files].bin" "$url/$dir/"
    fi
    [[ $(ls "$root/$dir" | wc -l) -eq $files ]] || die "$tool stored $(ls "$root/$dir" | wc -l) of $files files"
    rm -rf "${root:?}/$dir"
  done
done

printf '\n%d runs each, %d files of %d KiB, vsftpd on 127.0.0.1:%s, passive mode\n' \
  "$runs" "$files" "$file_kib" "$port"
table tarsel_mget curl_glob tarsel_mput curl_put
for pair in "tarsel_mget curl_glob" "tarsel_mput curl_put"; do
  read -r ours theirs <<<"$pair"
  printf '%-12s %6.0f files/s, curl %6.0f files/s: %.2f x curl\n' "$ours" \
    "$(calc "$files / $(median "$ours")")" "$(calc "$files / $(median "$theirs")")" \
    "$(calc "$(median "$theirs") / $(median "$ours")")"
done

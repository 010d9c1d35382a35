#!/usr/bin/env bash
# Heap allocations of a tarsel-ftp download, counted from outside the program.
#
#   bench/allocation_count.sh            (SIZES_MIB="256 1024" by default)
#
# Runs `tarsel-ftp get FILE /dev/null` (passive mode) from the local vsftpd for each size, with
# build/bench/libmalloc_counter.so preloaded, and prints the allocations of the whole run and
# per 64 KiB block of the file. A count that does not grow with the file shows as a per-block
# figure that falls by about four times from 256 MiB to 1 GiB; a fixed cost per block shows
# as the same per-block figure at both sizes.
# Starts vsftpd with scripts/ftp-servers.sh if it is not running. TARSEL_FTP may name the
# tarsel-ftp binary and MALLOC_COUNTER the shim; otherwise build/ then build-ftp/ are searched.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sizes=${SIZES_MIB:-256 1024}

bench_name=allocation_count
# shellcheck source=bench/bench_runs.sh
source "$repo/bench/bench_runs.sh"

shim=${MALLOC_COUNTER:-}
if [[ -z $shim ]]; then
  for dir in build build-ftp; do
    if [[ -f $repo/$dir/bench/libmalloc_counter.so ]]; then
      shim=$repo/$dir/bench/libmalloc_counter.so
      break
    fi
  done
fi
[[ -n $shim && -f $shim ]] || die "no libmalloc_counter.so (build the malloc_counter target, or set MALLOC_COUNTER)"

use_server vsftpd
data="$root/tarsel-bench"
mkdir -p "$data"
chmod 755 "$data"

printf '%-10s %14s %12s %18s\n' "size" "allocations" "blocks" "per 64 KiB block"
for size_mib in $sizes; do
  bytes=$((size_mib * 1024 * 1024))
  file=$data/alloc-$size_mib.bin
  if [[ ! -f $file || $(stat -c %s "$file") -ne $bytes ]]; then
    # The content does not matter to the count: zeros are made at once.
    head -c "$bytes" /dev/zero >"$file.tmp"
    mv "$file.tmp" "$file"
  fi
  chmod 644 "$file"
  count_file=$results/count-$size_mib
  if ! TARSEL_MALLOC_COUNT_FILE=$count_file LD_PRELOAD=$shim \
      "$ftp_bin" --port "$port" --passive 127.0.0.1 \
      -c "get tarsel-bench/alloc-$size_mib.bin /dev/null" >/dev/null 2>"$results/err"; then
    cat "$results/err" >&2
    die "the download of $size_mib MiB failed"
  fi
  allocations=$(awk '{print $2}' "$count_file")
  blocks=$((bytes / 65536))
  printf '%-10s %14d %12d %18.2f\n' "${size_mib} MiB" "$allocations" "$blocks" \
    "$(calc "$allocations / $blocks")"
done

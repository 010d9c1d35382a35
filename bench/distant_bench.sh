#!/usr/bin/env bash
# Many files and one big file over a distant link: tarsel-ftp against lftp, side by side in
# one run, every result compared byte for byte with the source.
#
#   bench/distant_bench.sh                 (DELAY_MS=20 RATE=8000000 FILES=500 FILE_KIB=16 BIG_MIB=64)
#
# The distant server is bench/distant_ftp_server.py (pyftpdlib: each command answered DELAY_MS
# late, each data connection held to RATE bytes a second) on DISTANT_PORT (24029 unless set),
# passive ports DISTANT_PASSIVE (24500-24599). Then the same on the local vsftpd of
# scripts/ftp-servers.sh (its environment must be set, e.g. by scripts/ftp-servers.sh env),
# without delay. Prints one table: wall seconds and peak resident memory of each program.
# TARSEL_FTP may name the tarsel-ftp binary; lftp is Debian's (apt-get install lftp).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ftp_bin=${TARSEL_FTP:-$repo/build/tools/tarsel-ftp/tarsel-ftp}
delay=${DELAY_MS:-20} rate=${RATE:-8000000}
files=${FILES:-500} file_kib=${FILE_KIB:-16} big_mib=${BIG_MIB:-64}
dport=${DISTANT_PORT:-24029} dpassive=${DISTANT_PASSIVE:-24500-24599}
die() { echo "distant_bench: $*" >&2; exit 2; }
[[ -x $ftp_bin ]] || die "no tarsel-ftp at $ftp_bin (build it, or set TARSEL_FTP)"
command -v lftp >/dev/null || die "lftp is missing (apt-get install lftp)"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is missing"

work=$(mktemp -d)
server_pid=
cleanup() { [[ -n $server_pid ]] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

# make_data DIR: FILES small files under DIR/tree and one big file DIR/big.bin.
make_data() {
  mkdir -p "$1/tree"
  for i in $(seq "$files"); do head -c $((file_kib * 1024)) /dev/urandom >"$1/tree/f$i.bin"; done
  head -c $((big_mib * 1024 * 1024)) /dev/urandom >"$1/big.bin"
}

# run LABEL PROGRAM CHECK COMMAND...: times one run in a fresh directory, then CHECK (a shell
# test run in that directory) must hold; prints "seconds peak_MiB".
run() {
  local label=$1 check=$3
  shift 3
  rm -rf "$work/out" && mkdir -p "$work/out"
  local start end
  start=$(date +%s.%N)
  (cd "$work/out" && /usr/bin/time -f '%M' -o "$work/rss" "$@" >"$work/log" 2>&1) ||
    { cat "$work/log" >&2; die "$label failed"; }
  end=$(date +%s.%N)
  (cd "$work/out" && eval "$check") || { cat "$work/log" >&2; die "$label: the result differs from the source"; }
  awk -v s="$start" -v e="$end" -v k="$(tail -n1 "$work/rss")" 'BEGIN { printf "%.2f s %.1f MiB", e - s, k / 1024 }'
}

# suite NAME HOST PORT USER PASS ROOT REMOTE_DIR: the six comparisons against one server.
suite() {
  local name=$1 host=$2 port=$3 user=$4 pass=$5 root=$6 dir=$7
  local src="$root/$dir"
  local tf=("$ftp_bin" --no-progress --port "$port" -c)
  local lf=(lftp -u "$user,$pass" -p "$port" -e)
  local lset="set ftp:passive-mode on; set net:max-retries 2; set ftp:ssl-allow no; set cmd:fail-exit yes"
  local same_tree="diff -rq '$src/tree' tree >/dev/null"
  local same_flat="diff -rq '$src/tree' . >/dev/null"
  local same_big="cmp -s '$src/big.bin' big.bin"
  printf '| %s | %s | %s |\n' "$name: mirror $files x $file_kib KiB, 1 connection" \
    "$(run tarsel x "$same_tree" "${tf[@]}" "mirror $dir/tree tree" "$host" "$user" "$pass")" \
    "$(run lftp x "$same_tree" "${lf[@]}" "$lset; mirror $dir/tree tree; quit" "$host")"
  printf '| %s | %s | %s |\n' "$name: mirror $files x $file_kib KiB, 8 connections (tarsel-ftp mirror -P 8, lftp mirror --parallel=8)" \
    "$(run tarsel x "$same_tree" "${tf[@]}" "mirror -P 8 $dir/tree tree" "$host" "$user" "$pass")" \
    "$(run lftp x "$same_tree" "${lf[@]}" "$lset; mirror --parallel=8 $dir/tree tree; quit" "$host")"
  # Up: the source tree to DIR/up on the server, made afresh for each run.
  local same_up="diff -rq '$src/tree' '$src/up' >/dev/null"
  printf '| %s | %s | %s |\n' "$name: mirror -R $files x $file_kib KiB, 8 connections (tarsel-ftp mirror -R -P 8, lftp mirror -R --parallel=8)" \
    "$(rm -rf "$src/up"; run tarsel x "$same_up" "${tf[@]}" "mirror -R -P 8 $src/tree $dir/up" "$host" "$user" "$pass")" \
    "$(rm -rf "$src/up"; run lftp x "$same_up" "${lf[@]}" "$lset; mirror -R --parallel=8 $src/tree $dir/up; quit" "$host")"
  rm -rf "$src/up"
  printf '| %s | %s | %s |\n' "$name: mget -P 8 of $files x $file_kib KiB" \
    "$(run tarsel x "$same_flat" "${tf[@]}" "mget -P 8 $dir/tree/*" "$host" "$user" "$pass")" \
    "$(run lftp x "$same_flat" "${lf[@]}" "$lset; mget -P 8 $dir/tree/*; quit" "$host")"
  printf '| %s | %s | %s |\n' "$name: one file of $big_mib MiB, 1 connection" \
    "$(run tarsel x "$same_big" "${tf[@]}" "get $dir/big.bin big.bin" "$host" "$user" "$pass")" \
    "$(run lftp x "$same_big" "${lf[@]}" "$lset; get $dir/big.bin -o big.bin; quit" "$host")"
  printf '| %s | %s | %s |\n' "$name: one file of $big_mib MiB, pget -n 4" \
    "$(run tarsel x "$same_big" "${tf[@]}" "pget -n 4 $dir/big.bin big.bin" "$host" "$user" "$pass")" \
    "$(run lftp x "$same_big" "${lf[@]}" "$lset; pget -n 4 $dir/big.bin -o big.bin; quit" "$host")"
}

echo "making $files files of $file_kib KiB and one of $big_mib MiB" >&2
make_data "$work/distant/data"
/usr/bin/python3 "$repo/bench/distant_ftp_server.py" --port "$dport" --passive "$dpassive" \
  --root "$work/distant" --delay-ms "$delay" --rate "$rate" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/"$dport") 2>/dev/null && break; sleep 0.1; done

echo "| job | tarsel-ftp | lftp |"
echo "|---|---|---|"
suite "distant (${delay} ms, $((rate / 1000000)) MB/s)" 127.0.0.1 "$dport" tarsel tarsel "$work/distant" data

if [[ -n ${TARSEL_VSFTPD_PORT:-} && -n ${TARSEL_VSFTPD_ROOT:-} ]]; then
  # vsftpd's upload folder is writable by the test user; the data is made there once.
  local_dir="upload/distant-bench-$$"
  make_data "$TARSEL_VSFTPD_ROOT/$local_dir"
  chmod 0777 "$TARSEL_VSFTPD_ROOT/$local_dir"  # mirror -R makes its directory there
  trap 'cleanup; rm -rf "$TARSEL_VSFTPD_ROOT/$local_dir"' EXIT
  suite "local vsftpd" 127.0.0.1 "$TARSEL_VSFTPD_PORT" anonymous guest@ "$TARSEL_VSFTPD_ROOT" "$local_dir"
fi

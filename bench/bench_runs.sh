# Timed runs of the transfer benchmarks, sourced by transfer_bench.sh and ftps_bench.sh.
# The sourcing script sets `repo` and `bench_name` first; this file finds the tarsel-ftp
# binary ($ftp_bin), checks the tools, and gives the measuring and reporting functions.
# Results go to $results, a temporary folder removed at exit (with the uploads, once the
# script has set `root` and `upload`).

die() { echo "$bench_name: $*" >&2; exit 2; }

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

# calc EXPR: floating-point arithmetic and comparisons (1 or 0).
calc() { awk "BEGIN { print ($1) }"; }

results=$(mktemp -d)
trap 'rm -rf "$results"; [[ -n ${root:-} ]] && rm -f "$root/$upload"/bench-up-*' EXIT

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

# median NAME [FIELD]: median wall seconds (field 1) or CPU seconds (field 3);
# peak NAME: largest peak RSS in KiB; mbps SECONDS: MB/s for $bytes.
median() {
  cut -d' ' -f"${2:-1}" "$results/$1" | sort -g |
    awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
peak() { cut -d' ' -f2 "$results/$1" | sort -g | tail -n 1; }
mbps() { calc "$bytes / $1 / 1000000"; }

# table NAME...: one line per measured program.
table() {
  printf '%-12s %10s %8s %12s %14s\n' "" "median s" "MB/s" "median CPU s" "peak RSS KiB"
  local name m
  for name in "$@"; do
    m=$(median "$name")
    printf '%-12s %10.3f %8.0f %12.3f %14d\n' "$name" "$m" "$(mbps "$m")" "$(median "$name" 3)" \
      "$(peak "$name")"
  done
}

status=0
check() {  # check LABEL OK? TEXT
  if (($2)); then echo "  ok    $1: $3"; else echo "  MISS  $1: $3"; status=1; fi
}

# use_server NAME: the local server NAME (as scripts/ftp-servers.sh names it), started if it
# is not running; sets port, root, upload and url.
use_server() {
  local var
  var=TARSEL_$(echo "$1" | tr '[:lower:]' '[:upper:]')
  eval "$("$repo/scripts/ftp-servers.sh" env)"
  if [[ -z $(eval "echo \${${var}_PORT:-}") ]]; then
    "$repo/scripts/ftp-servers.sh" start "$1" >&2
    eval "$("$repo/scripts/ftp-servers.sh" env)"
  fi
  port=$(eval "echo \$${var}_PORT")
  root=$(eval "echo \$${var}_ROOT")
  upload=$(eval "echo \${${var}_UPLOAD:-upload}")
  url="ftp://127.0.0.1:$port"
}

# make_random_file: $bytes random bytes in $root/tarsel-bench/big.bin ($data is that
# folder), made once and kept (a server restart wipes them), and read into the page cache
# so that both programs read an upload source from memory.
make_random_file() {
  data="$root/tarsel-bench"
  mkdir -p "$data"
  chmod 755 "$data"
  if [[ ! -f $data/big.bin || $(stat -c %s "$data/big.bin") -ne $bytes ]]; then
    echo "making $((bytes / 1048576)) MiB of random bytes" >&2
    head -c "$bytes" /dev/urandom >"$data/big.bin.tmp"
    mv "$data/big.bin.tmp" "$data/big.bin"
  fi
  chmod 644 "$data/big.bin"
  cat "$data/big.bin" >/dev/null
}

#!/usr/bin/env bash
# Many sessions on one thread: tarsel controls on one io_context (bench/scale_bench) against
# libcurl's multi interface on one thread (bench/curl_multi_bench), in the same run.
#
#   bench/scale_bench.sh        (RUNS=3 LOGIN_NS="1 10 100 1000 5000" GET_NS="1 10 100 1000")
#
# Two phases, each run RUNS times per N, the two programs alternating; medians are printed.
#   1. Login: N sessions log in as anonymous (at most 64 logins in flight) and stay idle;
#      the time it took, and the resident memory each idle session adds. Server: pyftpdlib in
#      one process (bench/scale_ftp_server.py), which accepts thousands of sessions quickly.
#   2. Downloads: N sessions log in, then all download the same 4 MiB file at once (passive,
#      binary, discarded): aggregate MB/s, CPU seconds of the download, peak resident memory.
#      Server: vsftpd (the fastest sender) up to VSFTPD_GET_MAX sessions (default 100),
#      pyftpdlib above: vsftpd forks two processes per session, and with 1,000 sessions here
#      curl-multi's logins stalled for minutes.
# Both servers are this script's own instances (ports SCALE_VSFTPD_PORT, default 23031, with
# passive ports SCALE_VSFTPD_PASV, default 23100-24899; SCALE_PYFTPDLIB_PORT, default 23034),
# with their state under SCALE_STATE (default build/scale-servers); they are stopped at exit.
# The open-file limit is raised to the hard limit; an N that needs more descriptors than that
# is skipped. TARSEL_BUILD names the build folder (default build).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build=${TARSEL_BUILD:-$repo/build}
runs=${RUNS:-3}
login_ns=${LOGIN_NS:-"1 10 100 1000 5000"}
get_ns=${GET_NS:-"1 10 100 1000"}
vsftpd_get_max=${VSFTPD_GET_MAX:-100}
vport=${SCALE_VSFTPD_PORT:-23031}
vpasv=${SCALE_VSFTPD_PASV:-23100-24899}
pport=${SCALE_PYFTPDLIB_PORT:-23034}
state=${SCALE_STATE:-$build/scale-servers}
run_limit=${RUN_LIMIT:-300}
file=scale4m.bin

die() { echo "scale_bench: $*" >&2; exit 2; }
tarsel_bin=$build/bench/scale_bench
curl_bin=$build/bench/curl_multi_bench
[[ -x $tarsel_bin ]] || die "no $tarsel_bin (build the target scale_bench)"
[[ -x $curl_bin ]] || die "no $curl_bin (install libcurl4-openssl-dev, build curl_multi_bench)"
[[ -x /usr/sbin/vsftpd ]] || die "vsftpd is missing (scripts/deps.sh)"
[[ -x /usr/bin/python3 ]] || die "/usr/bin/python3 is missing (scripts/deps.sh)"
[[ $vpasv =~ ^([0-9]+)-([0-9]+)$ ]] || die "SCALE_VSFTPD_PASV must be LOW-HIGH"
plow=${BASH_REMATCH[1]} phigh=${BASH_REMATCH[2]}

# shellcheck source=scripts/lib-daemon.sh
source "$repo/scripts/lib-daemon.sh"

ulimit -n "$(ulimit -Hn)"
fd_limit=$(ulimit -n)

# ---- the servers: one read-only root with the file, served by both
root=$state/root
mkdir -p "$root" "$state/empty"
chmod 755 "$state" "$root" "$state/empty"
if [[ ! -f $root/$file ]]; then head -c $((4 * 1024 * 1024)) /dev/urandom >"$root/$file"; fi
chmod 644 "$root/$file"
getent passwd ftp >/dev/null || die "the system user ftp is missing (scripts/deps.sh)"

# vsftpd with no limit on sessions (its defaults allow 50 per address) and no logging: a
# protocol log line per command would be measured too.
cat >"$state/vsftpd.conf" <<CONF
background=NO
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$vport
anonymous_enable=YES
local_enable=NO
anon_root=$root
no_anon_password=YES
write_enable=NO
pasv_enable=YES
pasv_min_port=$plow
pasv_max_port=$phigh
port_enable=NO
connect_from_port_20=NO
seccomp_sandbox=NO
secure_chroot_dir=$state/empty
dirmessage_enable=NO
xferlog_enable=NO
max_clients=0
max_per_ip=0
CONF

stop_servers() {
  daemon_stop "$state/vsftpd.pid" vsftpd || true
  daemon_stop "$state/pyftpdlib.pid" scale_ftp_server || true
  # vsftpd's session processes leave its process group; these are ours by their config path.
  local left
  left=$(pgrep -f "^/usr/sbin/vsftpd $state/vsftpd.conf\$" || true)
  [[ -z $left ]] || kill $left 2>/dev/null || true
}
results=$(mktemp -d)
trap 'stop_servers; rm -rf "$results"' EXIT
trap 'exit 130' INT TERM

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for p in "$vport" "$pport"; do
  port_open "$p" && die "port $p is taken (set SCALE_VSFTPD_PORT / SCALE_PYFTPDLIB_PORT)"
done
daemon_start "$state/vsftpd.pid" "$state/vsftpd.log" /usr/sbin/vsftpd "$state/vsftpd.conf"
daemon_start "$state/pyftpdlib.pid" "$state/pyftpdlib.log" \
  /usr/bin/python3 "$repo/bench/scale_ftp_server.py" --port "$pport" --root "$root"
for p in "$vport" "$pport"; do
  for ((i = 0; i < 50; i++)); do port_open "$p" && break; sleep 0.1; done
  port_open "$p" || die "no server came up on port $p (see $state/*.log)"
done

# ---- the runs
# one IMPL PHASE SERVER N: one run; its key=value line goes to $results/IMPL-PHASE-N.
one() {
  local impl=$1 phase=$2 server=$3 n=$4 bin port line
  if [[ $impl == tarsel ]]; then bin=$tarsel_bin; else bin=$curl_bin; fi
  if [[ $server == vsftpd ]]; then port=$vport; else port=$pport; fi
  local args=("$phase" 127.0.0.1 "$port" "$n")
  [[ $phase == get ]] && args+=("$file")
  # Thousands of sessions leave thousands of closed connections in TIME_WAIT, each holding a
  # local port for a minute; a large run started then finds the ports gone (pyftpdlib cannot
  # bind its passive listeners). It waits until they have drained.
  if ((n >= 1000)); then
    local waited
    for ((waited = 0; waited < 120; waited++)); do
      (($(ss -Htan state time-wait | wc -l) < 2000)) && break
      sleep 1
    done
  fi
  # A run that stalls (a server that stops answering) is given up after run_limit seconds;
  # each session also gives up after 30 s of silence, and counts as failed.
  if ! line=$(timeout "$run_limit" "$bin" "${args[@]}" 2>"$results/err"); then
    head -n 5 "$results/err" >&2
    echo "scale_bench: $impl $phase N=$n on $server had failures" >&2
  fi
  if [[ $line == impl=* ]]; then echo "$line server=$server" >>"$results/$impl-$phase-$n"; fi
}

# field FILE KEY: the median of KEY over the lines of FILE.
field() {
  [[ -f $results/$1 ]] || { echo nan; return; }
  grep -o "\b$2=[^ ]*" "$results/$1" | cut -d= -f2 | sort -g |
    awk '{v[NR]=$1} END {if (NR == 0) print "nan"; else print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0) print "-"; else printf "%.2f", a / b }'; }

# Descriptors a phase needs at N sessions: one per control connection, two while downloading,
# and some to spare for the program itself.
fits() { (($1 * $2 + 64 <= fd_limit)); }

for ((r = 1; r <= runs; r++)); do
  echo "round $r of $runs" >&2
  for n in $login_ns; do
    fits "$n" 1 || continue
    one tarsel login pyftpdlib "$n"
    one curl login pyftpdlib "$n"
  done
  for n in $get_ns; do
    fits "$n" 2 || continue
    server=vsftpd
    ((n > vsftpd_get_max)) && server=pyftpdlib
    # A download by one or ten sessions lasts a few milliseconds, within the scheduler's
    # noise: those are measured five times per round, so the median has enough samples.
    reps=1
    ((n <= 10)) && reps=5
    for ((k = 0; k < reps; k++)); do
      one tarsel get "$server" "$n"
      one curl get "$server" "$n"
    done
  done
done

# ---- the tables
echo
echo "Login and idle sessions (server: pyftpdlib, one process; medians of $runs runs)"
printf '%6s %9s %9s %6s %11s %9s %6s %12s %10s\n' N "tarsel s" "curl s" ratio "tarsel KiB" \
  "curl KiB" ratio "tarsel +KiB" "curl +KiB"
first=${login_ns%% *}
for n in $login_ns; do
  fits "$n" 1 || { printf '%6s  skipped: needs more than %d descriptors\n' "$n" "$fd_limit"; continue; }
  ts=$(field "tarsel-login-$n" login_s) cs=$(field "curl-login-$n" login_s)
  tk=$(field "tarsel-login-$n" per_conn_kib) ck=$(field "curl-login-$n" per_conn_kib)
  # What each session beyond the smallest N adds: the process's one-time costs left out.
  tm=- cm=-
  if ((n > first)); then
    tm=$(awk -v a="$(field "tarsel-login-$n" rss_idle_kib)" -v b="$(field "tarsel-login-$first" rss_idle_kib)" \
      -v n="$n" -v f="$first" 'BEGIN { printf "%.1f", (a - b) / (n - f) }')
    cm=$(awk -v a="$(field "curl-login-$n" rss_idle_kib)" -v b="$(field "curl-login-$first" rss_idle_kib)" \
      -v n="$n" -v f="$first" 'BEGIN { printf "%.1f", (a - b) / (n - f) }')
  fi
  printf '%6s %9.3f %9.3f %6s %11.1f %9.1f %6s %12s %10s\n' "$n" "$ts" "$cs" "$(ratio "$ts" "$cs")" \
    "$tk" "$ck" "$(ratio "$tk" "$ck")" "$tm" "$cm"
done
echo "(s: time to connect and log in all N; KiB: resident memory the N idle sessions add, per"
echo " session, one-time costs of the process included; +KiB: the same from N=$first on, one-time"
echo " costs left out; ratio: tarsel / curl-multi, lower is better)"

echo
echo "Concurrent downloads of a 4 MiB file (medians of $runs runs; N <= 10: $((runs * 5)) runs)"
printf '%6s %-9s %11s %9s %6s %9s %9s %11s %9s\n' N server "tarsel MB/s" "curl MB/s" ratio \
  "tarsel CPU" "curl CPU" "tarsel MiB" "curl MiB"
for n in $get_ns; do
  fits "$n" 2 || { printf '%6s  skipped: needs more than %d descriptors\n' "$n" "$fd_limit"; continue; }
  server=vsftpd
  ((n > vsftpd_get_max)) && server=pyftpdlib
  tm=$(field "tarsel-get-$n" mb_s) cm=$(field "curl-get-$n" mb_s)
  printf '%6s %-9s %11.0f %9.0f %6s %9.3f %9.3f %11.1f %9.1f\n' "$n" "$server" "$tm" "$cm" \
    "$(ratio "$tm" "$cm")" "$(field "tarsel-get-$n" cpu_s)" "$(field "curl-get-$n" cpu_s)" \
    "$(awk -v k="$(field "tarsel-get-$n" peak_kib)" 'BEGIN { print k / 1024 }')" \
    "$(awk -v k="$(field "curl-get-$n" peak_kib)" 'BEGIN { print k / 1024 }')"
done
echo "(MB/s: all bytes over the time from the first request to the last byte, higher is better;"
echo " ratio: tarsel / curl-multi; CPU: seconds of the downloads; MiB: peak resident memory)"

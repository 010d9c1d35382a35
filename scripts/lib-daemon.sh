# shellcheck shell=bash
# Background servers run by the scripts: each in its own session (so it and the session
# processes it forks form one process group that can be stopped together), its pid in a file,
# its output in a log. Sourced by scripts/ftp-servers.sh; needs bash.

# daemon_start PIDFILE LOGFILE COMMAND [ARGS...]
# Starts COMMAND detached from the caller's terminal and standard input.
daemon_start() {
  local pidfile=$1 logfile=$2
  shift 2
  # From a non-interactive shell the background child is not a group leader, so setsid
  # makes it one without forking: $! is then the server itself and the leader of its group.
  setsid "$@" </dev/null >>"$logfile" 2>&1 &
  echo $! >"$pidfile"
}

# daemon_pid PIDFILE EXPECTED_NAME: prints the pid if it is alive and still runs a program
# whose command line mentions EXPECTED_NAME (a recycled pid must never be signalled).
daemon_pid() {
  local pidfile=$1 expected=$2 pid cmdline
  [[ -s $pidfile ]] || return 1
  pid=$(<"$pidfile")
  [[ $pid =~ ^[0-9]+$ ]] || return 1
  [[ -r /proc/$pid/cmdline ]] || return 1
  cmdline=$(tr '\0' ' ' </proc/"$pid"/cmdline 2>/dev/null) || return 1
  [[ $cmdline == *"$expected"* ]] || return 1
  echo "$pid"
}

# daemon_alive PIDFILE: true while the started process (or what it is about to exec) lives.
# Used only while starting, when the command line may still be the forking shell's.
daemon_alive() {
  local pid state
  pid=$(<"$1") || return 1
  state=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | awk '{print $1}') || return 1
  [[ -n $state && $state != Z ]]
}

# daemon_stop PIDFILE EXPECTED_NAME: stops the server and the processes of its group,
# politely first, then by force after a bounded wait; removes the pid file.
daemon_stop() {
  local pidfile=$1 expected=$2 pid pgid i
  if pid=$(daemon_pid "$pidfile" "$expected"); then
    # /proc/PID/stat reads "pid (name) state ppid pgrp ..."; the name may hold blanks.
    pgid=$(sed 's/^.*) //' "/proc/$pid/stat" 2>/dev/null | awk '{print $3}')
    if [[ $pgid == "$pid" ]]; then
      kill -TERM -- "-$pid" 2>/dev/null || true
    else
      kill -TERM "$pid" 2>/dev/null || true
      pgid=
    fi
    for ((i = 0; i < 50; i++)); do
      group_running "$pid" "$pgid" || break
      sleep 0.1
    done
    if group_running "$pid" "$pgid"; then
      if [[ -n $pgid ]]; then kill -KILL -- "-$pid" 2>/dev/null || true; else kill -KILL "$pid" 2>/dev/null || true; fi
    fi
  fi
  rm -f "$pidfile"
}

# group_running PID PGID: true while PID, or any process of group PGID when given, is still
# running. Exited processes wait as zombies until the machine's init reaps them, which can
# take seconds; they hold no sockets any more, so they count as gone.
group_running() {
  cat /proc/[0-9]*/stat 2>/dev/null | awk -v pid="$1" -v pgid="$2" '
    { id = $1; sub(/^.*\) /, "") }
    $1 != "Z" && (id == pid || (pgid != "" && $3 == pgid)) { found = 1 }
    END { exit !found }'
}

# ftp_greets PORT [HOST] [GREETING]: true when something on HOST:PORT (default 127.0.0.1)
# answers with a 220 greeting; GREETING "tls" reads it inside TLS (implicit FTPS), without
# checking the certificate.
ftp_greets() {
  local host=${2:-127.0.0.1} line
  if [[ ${3:-plain} == tls ]]; then
    line=$(timeout 3 openssl s_client -connect "$host:$1" -quiet -ign_eof </dev/null 2>/dev/null \
      | head -n 1) || true
    [[ $line == 220* ]]
    return
  fi
  (
    exec 3<>"/dev/tcp/$host/$1" || exit 1
    read -r -t 3 line <&3 || exit 1
    printf 'QUIT\r\n' >&3 2>/dev/null || true
    [[ $line == 220* ]]
  ) 2>/dev/null
}

# port_busy PORT: true when a TCP listener already holds 127.0.0.1:PORT (or the wildcard).
port_busy() {
  [[ -n $(ss -Hltn "sport = :$1" 2>/dev/null) ]]
}

# daemon_wait_ready NAME PIDFILE EXPECTED_NAME PORT LOGFILE [HOST] [GREETING]
# Waits, at most TARSEL_FTP_START_TIMEOUT seconds (default 15), until the server greets on
# HOST:PORT (see ftp_greets); fails with the server's log when it exits or stays silent.
daemon_wait_ready() {
  local name=$1 pidfile=$2 expected=$3 port=$4 logfile=$5 host=${6:-127.0.0.1}
  local mode=${7:-plain}
  local limit=$((${TARSEL_FTP_START_TIMEOUT:-15} * 10)) i
  for ((i = 0; i < limit; i++)); do
    if ! daemon_alive "$pidfile"; then
      echo "ftp-servers: $name exited during start; its log ($logfile):" >&2
      sed 's/^/  | /' "$logfile" >&2 || true
      return 1
    fi
    ftp_greets "$port" "$host" "$mode" && return 0
    sleep 0.1
  done
  echo "ftp-servers: $name did not greet on port $port within ${TARSEL_FTP_START_TIMEOUT:-15} s; its log ($logfile):" >&2
  sed 's/^/  | /' "$logfile" >&2 || true
  daemon_stop "$pidfile" "$expected"
  return 1
}

#!/usr/bin/env bash
# Real FTP servers on loopback for the interop tests and the demo: four plain ones on
# 127.0.0.1, TLS ones, and two plain ones on ::1.
#
#   scripts/ftp-servers.sh start [NAME...]   (re)start them; NAME: vsftpd pureftpd proftpd pyftpdlib
#                                            vsftpd_tls vsftpd_implicit proftpd_tls pureftpd_tls
#                                            vsftpd_ipv6 pyftpdlib_ipv6
#   scripts/ftp-servers.sh stop  [NAME...]   stop them
#   scripts/ftp-servers.sh env               print shell exports of the running ones: eval "$(...)"
#   scripts/ftp-servers.sh status            one line per server
#
# Each server gets a fresh login root under the state directory (TARSEL_FTP_STATE, default
# build/ftp-state): STATE/NAME/root, mode 755, with a writable subdirectory "upload". Starting
# wipes that root. Ports and passive ranges are fixed but can be changed with
# TARSEL_<NAME>_PORT and TARSEL_<NAME>_PASV=LOW-HIGH (NAME upper-cased) at start; `env`
# prints the values the servers were started with.
#
#   server     port   passive      login
#   vsftpd     22021  22100-22149  anonymous / guest@   (any other user gets 530)
#   pureftpd   22022  22150-22199  anonymous / guest@   (anonymous only)
#   proftpd    22023  22200-22249  anonymous / guest@
#   pyftpdlib  22024  22250-22299  tarsel / tarsel      (anonymous refused)
#
#   vsftpd_tls       22025  22300-22349  explicit TLS (AUTH TLS) required for login and data,
#                                        data connections must resume the control's session
#   vsftpd_implicit  22026  22350-22399  the same with implicit TLS (TLS from the first byte)
#   proftpd_tls      22027  22400-22449  explicit TLS required, session resumption required
#   pureftpd_tls     22028  22450-22499  explicit TLS required for login (-Y 2)
#   vsftpd_ipv6      22029  22500-22549  plain, on ::1
#   pyftpdlib_ipv6   22030  22550-22599  plain, on ::1, tarsel / tarsel
#
# The TLS servers log in anonymous / guest@ like their plain versions. Their certificates come
# from scripts/tls-certs.sh (in TARSEL_TLS_CERTS, default build/tls-certs): `env` exports
# TARSEL_TLS_CA (the CA that signed them, for 127.0.0.1, ::1 and localhost) and
# TARSEL_TLS_OTHER_CA (an unrelated CA, which must not be accepted for them).
#
# All of them accept active (PORT or EPRT) and passive (PASV or EPSV) data connections.
#
# pure-ftpd has no setting for the anonymous root: it serves the home directory of the system
# user "ftp" (/srv/ftp on Debian). To serve STATE/pureftpd/root instead without touching the
# system's files, it runs in a private mount namespace in which that root is bind-mounted
# over the ftp user's home. Where a private mount namespace cannot be made, pure-ftpd is not
# started.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/lib-daemon.sh
source "$repo/scripts/lib-daemon.sh"

state="${TARSEL_FTP_STATE:-$repo/build/ftp-state}"
pkgs="${TARSEL_FTP_PKGS:-$repo/build/ftp-servers/pkgs}"
certs="${TARSEL_TLS_CERTS:-$repo/build/tls-certs}"
all_servers=(vsftpd pureftpd proftpd pyftpdlib
  vsftpd_tls vsftpd_implicit proftpd_tls pureftpd_tls vsftpd_ipv6 pyftpdlib_ipv6)

# The program name each server's command line keeps while it runs (checked before a signal).
declare -A process_name=(
  [vsftpd]=vsftpd [pureftpd]=pure-ftpd [proftpd]=proftpd [pyftpdlib]=pyftpdlib
  [vsftpd_tls]=vsftpd [vsftpd_implicit]=vsftpd [proftpd_tls]=proftpd [pureftpd_tls]=pure-ftpd
  [vsftpd_ipv6]=vsftpd [pyftpdlib_ipv6]=pyftpdlib)
declare -A default_port=([vsftpd]=22021 [pureftpd]=22022 [proftpd]=22023 [pyftpdlib]=22024
  [vsftpd_tls]=22025 [vsftpd_implicit]=22026 [proftpd_tls]=22027 [pureftpd_tls]=22028
  [vsftpd_ipv6]=22029 [pyftpdlib_ipv6]=22030)
declare -A default_pasv=(
  [vsftpd]=22100-22149 [pureftpd]=22150-22199 [proftpd]=22200-22249 [pyftpdlib]=22250-22299
  [vsftpd_tls]=22300-22349 [vsftpd_implicit]=22350-22399 [proftpd_tls]=22400-22449
  [pureftpd_tls]=22450-22499 [vsftpd_ipv6]=22500-22549 [pyftpdlib_ipv6]=22550-22599)
declare -A login_user=([vsftpd]=anonymous [pureftpd]=anonymous [proftpd]=anonymous [pyftpdlib]=tarsel
  [vsftpd_tls]=anonymous [vsftpd_implicit]=anonymous [proftpd_tls]=anonymous
  [pureftpd_tls]=anonymous [vsftpd_ipv6]=anonymous [pyftpdlib_ipv6]=tarsel)
declare -A login_pass=([vsftpd]=guest@ [pureftpd]=guest@ [proftpd]=guest@ [pyftpdlib]=tarsel
  [vsftpd_tls]=guest@ [vsftpd_implicit]=guest@ [proftpd_tls]=guest@ [pureftpd_tls]=guest@
  [vsftpd_ipv6]=guest@ [pyftpdlib_ipv6]=tarsel)
# The address each listens on, and how it greets: in the clear, or only inside TLS.
declare -A listen_host=([vsftpd_ipv6]=::1 [pyftpdlib_ipv6]=::1)
declare -A greeting=([vsftpd_implicit]=tls)

die() { echo "ftp-servers: $*" >&2; exit 1; }

upper() { tr '[:lower:]' '[:upper:]' <<<"$1"; }

check_names() {
  local n
  for n in "$@"; do
    [[ -v "default_port[$n]" ]] || die "unknown server '$n' (known: ${all_servers[*]})"
  done
}

# The anonymous servers drop to the system user "ftp"; Debian's vsftpd package creates it,
# a bare machine may not have it.
ensure_ftp_user() {
  getent passwd ftp >/dev/null && return
  useradd --system --home-dir /srv/ftp --no-create-home --shell /usr/sbin/nologin ftp \
    || die "cannot create the system user ftp"
}

# fresh_root NAME OWNER: an empty login root (755, root's) with "upload" owned by OWNER.
# vsftpd refuses an anonymous root the anonymous user could write to, so only "upload" is.
# Only directories made here get their mode set: a state directory given by the user (such
# as /tmp, whose sticky bit matters) is left exactly as it is.
fresh_root() {
  local dir="$state/$1/root"
  if [[ ! -d $state ]]; then
    mkdir -p "$state"
    chmod 755 "$state"
  fi
  rm -rf "${dir:?}"
  mkdir -p "$dir/upload"
  chmod 755 "$state/$1" "$dir"
  chown "$2" "$dir/upload"
  chmod 755 "$dir/upload"
}

# vsftpd_conf NAME PORT LOW HIGH: the settings every vsftpd instance shares.
vsftpd_conf() {
  local dir="$state/$1" port=$2 low=$3 high=$4
  # vsftpd reads whole-line comments only, so each setting is explained above it.
  cat <<CONF
# in the foreground: lib-daemon.sh keeps the pid and the log
background=NO
listen_port=$port
# the anonymous user only, rooted at the fresh login root
anonymous_enable=YES
local_enable=NO
anon_root=$dir/root
# anonymous uploads, directories, renames and deletes (in "upload", the one writable place)
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
# both data connection modes, passive on its own port range
pasv_enable=YES
pasv_min_port=$low
pasv_max_port=$high
port_enable=YES
# active connections from any local port: port 20 would need the server to keep root
connect_from_port_20=NO
# the seccomp sandbox refuses some system calls inside containers
seccomp_sandbox=NO
# the empty directory vsftpd chroots its unprivileged helper into
secure_chroot_dir=$dir/empty
dirmessage_enable=NO
# every command and reply logged, for a test that fails
xferlog_enable=YES
log_ftp_protocol=YES
vsftpd_log_file=$dir/protocol.log
CONF
}

# vsftpd_tls_conf IMPLICIT: TLS required for login and data; each data connection must
# resume the control connection's session. The default cipher list (DES-CBC3-SHA) is one
# OpenSSL 3 no longer offers, hence ssl_ciphers.
vsftpd_tls_conf() {
  cat <<CONF
ssl_enable=YES
implicit_ssl=$1
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES
force_local_logins_ssl=YES
force_local_data_ssl=YES
require_ssl_reuse=YES
ssl_sslv2=NO
ssl_sslv3=NO
ssl_tlsv1=YES
ssl_ciphers=HIGH
rsa_cert_file=$certs/server.pem
rsa_private_key_file=$certs/server.key
CONF
}

# launch_vsftpd_variant NAME PORT LOW HIGH EXTRA: one vsftpd instance; EXTRA holds its own
# listening and TLS settings.
launch_vsftpd_variant() {
  local name=$1 dir="$state/$1"
  fresh_root "$name" ftp:ftp
  mkdir -p "$dir/empty"
  chmod 755 "$dir/empty"
  # vsftpd refuses a configuration file that root does not own; the script runs as root.
  { vsftpd_conf "$name" "$2" "$3" "$4"; printf '%s\n' "$5"; } >"$dir/vsftpd.conf"
  daemon_start "$dir/server.pid" "$dir/server.log" /usr/sbin/vsftpd "$dir/vsftpd.conf"
}

launch_vsftpd() {
  launch_vsftpd_variant vsftpd "$@" $'listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1'
}

launch_vsftpd_tls() {
  launch_vsftpd_variant vsftpd_tls "$@" \
    "$(printf 'listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n'; vsftpd_tls_conf NO)"
}

launch_vsftpd_implicit() {
  launch_vsftpd_variant vsftpd_implicit "$@" \
    "$(printf 'listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n'; vsftpd_tls_conf YES)"
}

launch_vsftpd_ipv6() {
  launch_vsftpd_variant vsftpd_ipv6 "$@" $'listen=NO\nlisten_ipv6=YES\nlisten_address6=::1'
}

launch_pureftpd() { launch_pureftpd_variant pureftpd "$@"; }

# TLS required for login (-Y 2); its certificate and key come in one file (-2).
launch_pureftpd_tls() {
  launch_pureftpd_variant pureftpd_tls "$@" -Y 2 -2 "$certs/server-combined.pem"
}

# launch_pureftpd_variant NAME PORT LOW HIGH [EXTRA_ARGS...]
launch_pureftpd_variant() {
  local name=$1 dir="$state/$1" port=$2 low=$3 high=$4 binary home
  shift 4
  binary="$pkgs/pure-ftpd/usr/sbin/pure-ftpd"
  [[ -x $binary ]] || die "pure-ftpd is not unpacked in $pkgs; run scripts/deps.sh"
  fresh_root "$name" ftp:ftp
  home=$(getent passwd ftp | cut -d: -f6)
  [[ -n $home ]] || die "the system user ftp has no home directory"
  # -S HOST,PORT   listen on loopback only, on this port
  # -u 1000        no login for system accounts (uid below 1000): anonymous only here
  # -M             anonymous users may create directories
  # -H             no reverse DNS look-up of clients
  # -p LOW:HIGH    the passive port range
  # -c 100 -C 100  at most 100 clients, and 100 from one address (the tests run in parallel)
  # -U 133:022     umasks of uploaded files and created directories (644 and 755)
  local args=("$binary" -S "127.0.0.1,$port" -u 1000 -M -H -p "$low:$high" -c 100 -C 100 -U 133:022
    "$@")
  if ! unshare -m true 2>/dev/null; then
    # Serving the ftp user's real home instead would write into the system's /srv/ftp.
    echo "ftp-servers: no private mount namespace here (unshare -m); $name is not started" >&2
    return 1
  fi
  if [[ ! -d $home ]]; then
    echo "ftp-servers: the ftp user's home $home is missing (Debian's vsftpd package makes it); $name is not started" >&2
    return 1
  fi
  # unshare makes the new mount namespace private, so the bind mount stays invisible to the
  # rest of the machine and vanishes with the server.
  daemon_start "$dir/server.pid" "$dir/server.log" unshare -m -- \
    /bin/sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' pure-ftpd "$dir/root" "$home" \
    "${args[@]}"
}

launch_proftpd() { launch_proftpd_variant proftpd "$@" ""; }

# mod_tls comes from the unpacked proftpd-mod-crypto. TLS is required for login and data, and
# (mod_tls's default) every data connection must resume the control connection's session.
launch_proftpd_tls() {
  local modules="$pkgs/proftpd-mod-crypto/usr/lib/proftpd"
  [[ -f $modules/mod_tls.so ]] || die "mod_tls is not unpacked in $pkgs; run scripts/deps.sh"
  launch_proftpd_variant proftpd_tls "$@" "ModulePath $modules
LoadModule mod_tls.c
<IfModule mod_tls.c>
  TLSEngine on
  TLSRequired on
  TLSProtocol TLSv1.2 TLSv1.3
  TLSRSACertificateFile $certs/server.pem
  TLSRSACertificateKeyFile $certs/server.key
  TLSVerifyClient off
  TLSLog $state/proftpd_tls/tls.log
</IfModule>"
}

# launch_proftpd_variant NAME PORT LOW HIGH EXTRA_CONFIG
launch_proftpd_variant() {
  local name=$1 dir="$state/$1" port=$2 low=$3 high=$4 extra=$5 binary
  binary="$pkgs/proftpd-core/usr/sbin/proftpd"
  [[ -x $binary ]] || die "proftpd is not unpacked in $pkgs; run scripts/deps.sh"
  fresh_root "$name" ftp:nogroup
  rm -f "$dir/proftpd.scoreboard" "$dir/proftpd.scoreboard.lck"
  cat >"$dir/proftpd.conf" <<CONF
# One standalone daemon on loopback, IPv4 only, running as ftp once the port is bound.
ServerName "tarsel test proftpd"
ServerType standalone
DefaultServer on
Port $port
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User ftp
Group nogroup
# uploads 644, directories 755; up to 100 sessions (the tests run in parallel)
Umask 022
MaxInstances 100
# its run-time files beside the configuration, nothing in /var
PidFile $dir/proftpd.pid
ScoreboardFile $dir/proftpd.scoreboard
# no login delay table, wtmp, reverse DNS or transfer log: nothing written outside the state
DelayTable none
WtmpLog off
UseReverseDNS off
TransferLog none
PassivePorts $low $high
# an upload may replace a file; the ftp user has no login shell
AllowOverwrite on
RequireValidShell off
# no ident look-up, no PAM: the anonymous login needs neither
<IfModule mod_ident.c>
  IdentLookups off
</IfModule>
<IfModule mod_auth_pam.c>
  AuthPAM off
</IfModule>
# anonymous (and "ftp") log in to the fresh root as ftp, with write access where the file
# system allows it (the "upload" directory)
<Anonymous $dir/root>
  User ftp
  Group nogroup
  UserAlias anonymous ftp
  RequireValidShell off
  MaxClients 100
  <Limit WRITE>
    AllowAll
  </Limit>
</Anonymous>
CONF
  printf '%s\n' "$extra" >>"$dir/proftpd.conf"
  daemon_start "$dir/server.pid" "$dir/server.log" "$binary" -n -c "$dir/proftpd.conf"
}

launch_pyftpdlib() { launch_pyftpdlib_variant pyftpdlib 127.0.0.1 "$@"; }
launch_pyftpdlib_ipv6() { launch_pyftpdlib_variant pyftpdlib_ipv6 ::1 "$@"; }

# launch_pyftpdlib_variant NAME HOST PORT LOW HIGH
launch_pyftpdlib_variant() {
  local name=$1 host=$2 dir="$state/$1" port=$3 low=$4 high=$5
  [[ -x /usr/bin/python3 ]] || die "/usr/bin/python3 is missing; run scripts/deps.sh"
  fresh_root "$name" root:root
  # Debian's interpreter explicitly: the package's module is not visible to another Python
  # that may come first on PATH. The launcher serves each session in its own process:
  # `python3 -m pyftpdlib` shares one loop between sessions, and a session that used PORT
  # can then silence another session's control connection (see the launcher's comment).
  # TARSEL_PYFTPDLIB_MODEL=single brings that back, TARSEL_PYFTPDLIB_DEBUG=1 logs every line.
  local extra=(--model "${TARSEL_PYFTPDLIB_MODEL:-process}")
  [[ ${TARSEL_PYFTPDLIB_DEBUG:-0} == 1 ]] && extra+=(--debug)
  daemon_start "$dir/server.pid" "$dir/server.log" \
    /usr/bin/python3 "$repo/scripts/pyftpdlib-server.py" --host "$host" --port "$port" \
    --passive "$low-$high" --root "$dir/root" \
    --user "${login_user[$name]}" --password "${login_pass[$name]}" "${extra[@]}"
}

# settings NAME: sets port, low and high from TARSEL_<NAME>_PORT / _PASV or the defaults.
settings() {
  local prefix port_var pasv_var pasv
  prefix=$(upper "$1")
  port_var="TARSEL_${prefix}_PORT" pasv_var="TARSEL_${prefix}_PASV"
  port=${!port_var:-${default_port[$1]}}
  pasv=${!pasv_var:-${default_pasv[$1]}}
  [[ $port =~ ^[0-9]+$ ]] || die "$port_var must be a port number, not '$port'"
  [[ $pasv =~ ^([0-9]+)-([0-9]+)$ ]] || die "$pasv_var must be LOW-HIGH, not '$pasv'"
  low=${BASH_REMATCH[1]} high=${BASH_REMATCH[2]}
  ((low <= high)) || die "$pasv_var must be LOW-HIGH with LOW <= HIGH, not '$pasv'"
}

start_one() {
  local name=$1 port low high dir="$state/$1"
  settings "$name"
  if port_busy "$port"; then
    ss -ltnp "sport = :$port" >&2 || true
    die "port $port for $name is already taken by another program (set TARSEL_$(upper "$name")_PORT)"
  fi
  local host=${listen_host[$name]:-127.0.0.1}
  mkdir -p "$dir"
  : >"$dir/server.log"
  # A server that cannot run on this machine is left out; its tests then skip themselves.
  "launch_$name" "$port" "$low" "$high" || return 0
  daemon_wait_ready "$name" "$dir/server.pid" "${process_name[$name]}" "$port" "$dir/server.log" \
    "$host" "${greeting[$name]:-plain}" || exit 1
  printf '%s\n' "$port" >"$dir/port"
  echo "ftp-servers: $name on $host:$port (passive $low-$high), root $(readlink -f "$dir/root")"
}

stop_one() {
  local dir="$state/$1"
  daemon_stop "$dir/server.pid" "${process_name[$1]}"
  rm -f "$dir/port"
}

print_env() {
  local name prefix dir port
  for name in "${all_servers[@]}"; do
    prefix="TARSEL_$(upper "$name")"
    dir="$state/$name"
    if daemon_pid "$dir/server.pid" "${process_name[$name]}" >/dev/null && [[ -s $dir/port ]]; then
      port=$(<"$dir/port")
      printf 'export %s_HOST=%q %s_PORT=%q %s_ROOT=%q %s_USER=%q %s_PASS=%q %s_UPLOAD=upload\n' \
        "$prefix" "${listen_host[$name]:-127.0.0.1}" "$prefix" "$port" \
        "$prefix" "$(readlink -f "$dir/root")" \
        "$prefix" "${login_user[$name]}" "$prefix" "${login_pass[$name]}" "$prefix"
    else
      printf 'unset %s_HOST %s_PORT %s_ROOT %s_USER %s_PASS %s_UPLOAD\n' \
        "$prefix" "$prefix" "$prefix" "$prefix" "$prefix" "$prefix"
    fi
  done
  if [[ -s $certs/ca.pem && -s $certs/other-ca.pem ]]; then
    printf 'export TARSEL_TLS_CA=%q TARSEL_TLS_OTHER_CA=%q\n' \
      "$(readlink -f "$certs/ca.pem")" "$(readlink -f "$certs/other-ca.pem")"
  else
    printf 'unset TARSEL_TLS_CA TARSEL_TLS_OTHER_CA\n'
  fi
}

print_status() {
  local name dir pid
  for name in "${all_servers[@]}"; do
    dir="$state/$name"
    if pid=$(daemon_pid "$dir/server.pid" "${process_name[$name]}"); then
      echo "$name: running, pid $pid, port $(cat "$dir/port" 2>/dev/null || echo '?')"
    else
      echo "$name: stopped"
    fi
  done
}

command=${1:-}
shift || true
names=("$@")
((${#names[@]})) || names=("${all_servers[@]}")
case $command in
  start)
    check_names "${names[@]}"
    [[ $(id -u) -eq 0 ]] || die "start needs root (the servers chroot and switch users)"
    command -v ss >/dev/null || die "ss is missing; run scripts/deps.sh"
    for n in "${names[@]}"; do settings "$n"; done
    ensure_ftp_user
    for n in "${names[@]}"; do
      if [[ $n == *_tls || $n == *_implicit ]]; then
        "$repo/scripts/tls-certs.sh" "$certs" >/dev/null
        break
      fi
    done
    for n in "${names[@]}"; do stop_one "$n"; done
    for n in "${names[@]}"; do start_one "$n"; done
    ;;
  stop)
    check_names "${names[@]}"
    for n in "${names[@]}"; do stop_one "$n"; done
    ;;
  env) print_env ;;
  status) print_status ;;
  *)
    sed -n '2,7s/^# \{0,1\}//p' "$0" >&2
    exit 2
    ;;
esac

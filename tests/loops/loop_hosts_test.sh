#!/usr/bin/env bash
# The <loop>_host examples against the local vsftpd: each runs the same dialogue (login,
# listing, download, upload, an upload aborted from inside its third PutData, and a reply
# time-out against a server that never greets) and every loop (the Asio platform's too) gives
# the same event lines as the epoll one, timing aside: the sizes of the download's blocks, the
# data connection's port, and which of the two connections is heard from first are what may
# differ. The download and the upload are checked byte for byte, the aborted upload for being
# cut short.
#
#   loop_hosts_test.sh LOOP_HOSTS_BUILD_DIR
#
# Then the same over FTPS (explicit TLS, data connections resuming the control connection's
# session) against vsftpd_tls when it runs.
#
# Needs scripts/ftp-servers.sh's exports; exits 77 (skipped) when vsftpd is not running.
set -euo pipefail

bin=$1
[[ -n ${TARSEL_VSFTPD_PORT:-} && -n ${TARSEL_VSFTPD_ROOT:-} ]] || { echo "vsftpd is not running: skipped"; exit 77; }
host=${TARSEL_VSFTPD_HOST:-127.0.0.1} port=$TARSEL_VSFTPD_PORT root=$TARSEL_VSFTPD_ROOT
user=${TARSEL_VSFTPD_USER:-anonymous} pass=${TARSEL_VSFTPD_PASS:-guest@}
work=$(mktemp -d)
# A directory of the test's own: other tests write into "upload" meanwhile, and the listing
# must be the same for every loop.
dir="upload/loops-$$" name="loops.bin"
trap 'rm -rf "$work" "$root/$dir"' EXIT
fail() { echo "loop_hosts_test: $*" >&2; exit 1; }

# Which of the two connections is heard from first is timing, so the control connection's
# dialogue (the Trace lines) and the other events are compared each in its own order; the
# download's blocks become one line with their total, PORT and PASV numbers become N.
normalize() {
  grep '^Trace: ' "$1" |
    sed -E -e 's/(PORT|EPRT) .*/\1 N/' -e 's/\([0-9]+,[0-9]+,[0-9]+,[0-9]+,[0-9]+,[0-9]+\)/(N)/'
  grep -v '^Trace: ' "$1" | sed -e "s|$work/[a-z]*\.bin|LOCAL|" | awk '
    /^GetData: [0-9]+ bytes$/ { total += $2; next }
    { if (total) { print "GetData: " total " bytes"; total = 0 } print }
    END { if (total) print "GetData: " total " bytes" }'
}

# run_loops SERVER_ROOT PORT TAG: every built host downloads the file; their lines must agree.
run_loops() {
  local root=$1 port=$2 tag=$3 loop
  local ran=()
  mkdir -p "$root/$dir"
  # Writable by the server's anonymous user, as "upload" is.
  chown --reference="$root/upload" "$root/$dir"
  head -c 2000003 /dev/urandom >"$root/$dir/$name"
  for loop in epoll asio libuv glib qt; do
    program="$bin/$loop/${loop}_host"
    [[ -x $program ]] || continue
    "$program" "$host" "$port" "$user" "$pass" "$dir/$name" "$work/$loop.bin" >"$work/$loop.trace" ||
      fail "$tag: ${loop}_host failed: $(tail -3 "$work/$loop.trace")"
    cmp "$root/$dir/$name" "$work/$loop.bin" || fail "$tag: $loop: the download differs"
    cmp "$root/$dir/$name" "$root/$dir/$name.up" || fail "$tag: $loop: the upload differs"
    cut=$(stat -c %s "$root/$dir/$name.cut")
    ((cut < $(stat -c %s "$root/$dir/$name"))) || fail "$tag: $loop: the aborted upload is whole"
    # The next loop lists the same directory as this one did.
    rm -f "$root/$dir/$name.up" "$root/$dir/$name.cut"
    normalize "$work/$loop.trace" >"$work/$loop.lines"
    grep -q '^DirData: .*'"$name"'$' "$work/$loop.lines" || fail "$tag: $loop: the listing lacks the file"
    grep -q '^host: Abort$' "$work/$loop.lines" || fail "$tag: $loop: no Abort"
    grep -q '^DisConnected: -1, reply timeout(timer)$' "$work/$loop.lines" ||
      fail "$tag: $loop: no reply time-out"
    ran+=("$loop")
  done
  rm -rf "${root:?}/$dir"
  [[ ${ran[0]:-} == epoll ]] || fail "epoll_host was not built"
  for loop in "${ran[@]:1}"; do
    diff -u "$work/epoll.lines" "$work/$loop.lines" || fail "$tag: $loop gives other event lines than epoll"
  done
  echo "loop_hosts_test: $tag: ${ran[*]}: same download, same event lines"
}

run_loops "$root" "$port" plain
if [[ -n ${TARSEL_VSFTPD_TLS_PORT:-} && -n ${TARSEL_TLS_CA:-} ]]; then
  tls_root=$TARSEL_VSFTPD_TLS_ROOT
  trap 'rm -rf "$work" "$root/$dir" "$tls_root/$dir"' EXIT
  TARSEL_TLS_MODE=explicit run_loops "$tls_root" "$TARSEL_VSFTPD_TLS_PORT" ftps
  grep -q '^Trace: Connect>>AUTH TLS$' "$work/epoll.lines" || fail "ftps: the session was not secured"
fi

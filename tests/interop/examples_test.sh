#!/usr/bin/env bash
# The example hosts in examples/, run against the local vsftpd: an upload and the download
# of it compared byte for byte, a refused download that leaves no file, a listing, and many
# controls on one loop, a transfer queue, and the README's first host.
#
#   examples_test.sh EXAMPLES_BUILD_DIR
#
# Needs scripts/ftp-servers.sh's exports; exits 77 (skipped) when vsftpd is not running.
set -euo pipefail

bin=$1
[[ -n ${TARSEL_VSFTPD_PORT:-} && -n ${TARSEL_VSFTPD_ROOT:-} ]] || { echo "vsftpd is not running: skipped"; exit 77; }
host=${TARSEL_VSFTPD_HOST:-127.0.0.1} port=$TARSEL_VSFTPD_PORT root=$TARSEL_VSFTPD_ROOT
work=$(mktemp -d)
name="examples-$$.bin"
trap 'rm -rf "$work"; rm -f "$root/upload/$name"' EXIT
fail() { echo "examples_test: $*" >&2; exit 1; }

head -c 300001 /dev/urandom >"$work/source.bin"
"$bin/upload/upload_example" "$host" "$port" "$work/source.bin" "upload/$name" || fail "upload failed"
cmp "$work/source.bin" "$root/upload/$name" || fail "the server stored other bytes"

"$bin/download/download_example" "$host" "$port" "upload/$name" "$work/back.bin" || fail "download failed"
cmp "$work/source.bin" "$work/back.bin" || fail "the download differs"
"$bin/first_host/first_host" "$host" "$port" "upload/$name" >"$work/printed.bin" || fail "first_host failed"
cmp "$work/source.bin" "$work/printed.bin" || fail "first_host printed other bytes"
if "$bin/first_host/first_host" "$host" "$port" "upload/no-such-$name" >/dev/null 2>&1; then
  fail "first_host reported a refused download as success"
fi

if "$bin/download/download_example" "$host" "$port" "upload/no-such-$name" "$work/missing.bin" 2>/dev/null; then
  fail "a refused download reported success"
fi
[[ ! -e $work/missing.bin ]] || fail "a refused download left a file"

# A server that announces 100000 bytes, sends 1000 and then drops the control connection:
# the example must report failure and leave no file.
python3 - "$work/port" <<'PY' &
import socket, sys
ctl = socket.create_server(("127.0.0.1", 0)); data = socket.create_server(("127.0.0.1", 0))
open(sys.argv[1] + ".tmp", "w").write(str(ctl.getsockname()[1]))
import os; os.rename(sys.argv[1] + ".tmp", sys.argv[1])
ctl.settimeout(20); data.settimeout(20)
c, _ = ctl.accept(); f = c.makefile("rb")
c.sendall(b"220 lossy\r\n")
p = data.getsockname()[1]
for line in f:
    word = line.split()[0].upper()
    if word == b"USER": c.sendall(b"331 pw\r\n")
    elif word == b"PASV": c.sendall(b"227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n" % (p >> 8, p & 255))
    elif word == b"RETR":
        d, _ = data.accept()
        c.sendall(b"150 Opening BINARY mode data connection (100000 bytes)\r\n")
        d.sendall(b"x" * 1000)
        c.close(); d.close(); break
    else: c.sendall(b"200 ok\r\n")
PY
lossy=$!
for _ in $(seq 100); do [[ -e $work/port ]] && break; sleep 0.05; done
if "$bin/download/download_example" 127.0.0.1 "$(cat "$work/port")" big.bin "$work/lost.bin" 2>/dev/null; then
  fail "a download whose connection was lost reported success"
fi
wait "$lossy" || true
[[ ! -e $work/lost.bin ]] || fail "a download whose connection was lost left a file"

"$bin/listing/listing_example" "$host" "$port" upload >"$work/listing.txt" || fail "listing failed"
grep -q " $name\$" "$work/listing.txt" || fail "the listing lacks $name"

"$bin/many_controls/many_controls_example" "$host" "$port" 20 >"$work/many.txt" || fail "many controls failed"
[[ $(grep -c '^session [0-9]*: "/" is the current directory' "$work/many.txt") -eq 20 ]] || fail "not every session reported"
# The queue: the uploaded file three times over two connections, and one that is missing.
(cd "$work" && mkdir q && cd q &&
  ! "$bin/queue/queue_example" "$host" "$port" 2 "upload/$name" "/upload/$name" "upload/no-such-$name" \
    >../queue.txt 2>../queue.err) || fail "the queue example reported success with a missing file"
cmp "$work/source.bin" "$work/q/$name" || fail "the queue's download differs"
[[ ! -e $work/q/no-such-$name ]] || fail "the queue left a file for a refused download"
[[ $(grep -c ": done\$" "$work/queue.txt") -eq 2 ]] || fail "the queue did not report both downloads"
echo "examples_test: all examples behaved"

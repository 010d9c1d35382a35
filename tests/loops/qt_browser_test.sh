#!/usr/bin/env bash
# qt_browser's scripted path under Xvfb against the local vsftpd: it lists a directory of
# four files, downloads one (checked byte for byte) and saves a screenshot of its window. The
# screenshot must show the listing: the table's area holds one line of text per entry, where
# a blank window or an empty table holds none.
#
#   qt_browser_test.sh QT_BROWSER
#
# Needs scripts/ftp-servers.sh's exports; exits 77 (skipped) when vsftpd is not running or
# xvfb-run is not installed.
set -euo pipefail

program=$1
[[ -n ${TARSEL_VSFTPD_PORT:-} && -n ${TARSEL_VSFTPD_ROOT:-} ]] || { echo "vsftpd is not running: skipped"; exit 77; }
command -v xvfb-run >/dev/null || { echo "xvfb-run is not installed: skipped"; exit 77; }
host=${TARSEL_VSFTPD_HOST:-127.0.0.1} port=$TARSEL_VSFTPD_PORT root=$TARSEL_VSFTPD_ROOT
user=${TARSEL_VSFTPD_USER:-anonymous} pass=${TARSEL_VSFTPD_PASS:-guest@}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
dir="qt-browser-$$"
trap 'rm -rf "$work" "$root/upload/$dir"' EXIT
fail() { echo "qt_browser_test: $*" >&2; exit 1; }

mkdir "$root/upload/$dir"
head -c 1500007 /dev/urandom >"$root/upload/$dir/data.bin"
for name in alpha.txt beta.txt gamma.txt; do echo "$name" >"$root/upload/$dir/$name"; done

# No window manager, no session bus: Qt needs neither. Its runtime directory is the test's own.
mkdir -m 700 "$work/runtime"
XDG_RUNTIME_DIR=$work/runtime xvfb-run -a -s "-screen 0 1024x768x24" \
  "$program" --auto "$host" "$port" "$user" "$pass" "upload/$dir/data.bin" "$work/data.bin" \
  --screenshot "$work/shot.png" >"$work/out" 2>"$work/err" ||
  fail "qt_browser failed: $(cat "$work/out" "$work/err" | tail -5)"
cmp "$root/upload/$dir/data.bin" "$work/data.bin" || fail "the download differs"
grep -qx 'rows: 4' "$work/out" || fail "the table does not hold the four entries: $(cat "$work/out")"
read -r _ x y w h < <(grep '^table: ' "$work/out") || fail "no table area reported"
lines=$(python3 "$here/screenshot_rows.py" "$work/shot.png" "$x" "$y" "$w" "$h")
((lines == 4)) || fail "the screenshot's table shows $lines lines of text, not the listing's 4"
echo "qt_browser_test: downloaded, listed, and the screenshot's table shows $lines lines of text"

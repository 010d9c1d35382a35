#!/usr/bin/env bash
# Shows tarsel at work against a local vsftpd that this script starts and stops: a listing,
# a Japanese text file stored in EUC-JP on the server and downloaded as Shift_JIS, an
# upload, and a listing of the upload directory.
#
# The server runs from its own state directory (build/demo-ftp-state) on its own ports
# (TARSEL_DEMO_PORT, default 22121; passive 22600-22619), so it does not disturb the test
# servers of scripts/ftp-servers.sh. Local files of the demo are in build/demo.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
exec </dev/null

work="$repo/build/demo"
export TARSEL_FTP_STATE="$repo/build/demo-ftp-state"
export TARSEL_VSFTPD_PORT="${TARSEL_DEMO_PORT:-22121}"
export TARSEL_VSFTPD_PASV="${TARSEL_DEMO_PASV:-22600-22619}"

tarsel_ftp="$repo/build/tools/tarsel-ftp/tarsel-ftp"
connect_example="$repo/build/examples/connect/connect_example"

say() { printf '\n== %s\n' "$*"; }

say "dependencies"
./scripts/deps.sh

say "build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(tarsel)
[[ -f tools/tarsel-ftp/CMakeLists.txt ]] && targets+=(tarsel-ftp)
[[ -f examples/connect/CMakeLists.txt ]] && targets+=(connect_example)
cmake --build build -j2 --target "${targets[@]}"

say "local FTP server"
trap './scripts/ftp-servers.sh stop vsftpd || true' EXIT
./scripts/ftp-servers.sh start vsftpd
eval "$(./scripts/ftp-servers.sh env)"
root=$TARSEL_VSFTPD_ROOT
host=127.0.0.1 port=$TARSEL_VSFTPD_PORT user=$TARSEL_VSFTPD_USER pass=$TARSEL_VSFTPD_PASS

# The server's files: plain text, and Japanese text in EUC-JP.
rm -rf "$work"
mkdir -p "$work"
cat >"$work/japanese.utf8.txt" <<'TEXT'
タルセルは、ホストのイベントループを決して止めないFTPクライアントです。
サーバー上の日本語テキストを EUC-JP、Shift_JIS、JIS の間で変換します。
今日は良い天気ですね。
TEXT
iconv -f UTF-8 -t EUC-JP "$work/japanese.utf8.txt" >"$root/japanese-euc.txt"
printf 'Hello from the demo server.\r\n' >"$root/readme.txt"
chmod 644 "$root"/*.txt
printf 'Uploaded by tarsel at %s.\n' "$(date -u +%FT%TZ)" >"$work/hello-upload.txt"
ls -l "$root"

# What the demo host does, one command a line. Downloads land in build/demo.
demo_commands=$(cat <<CMDS
dir
get japanese-euc.txt $work/japanese.sjis.txt
put $work/hello-upload.txt $TARSEL_VSFTPD_UPLOAD/hello-upload.txt
dir $TARSEL_VSFTPD_UPLOAD
quit
CMDS
)

show_results() {
  if [[ -f $work/japanese.sjis.txt ]]; then
    say "the Japanese file as downloaded (Shift_JIS), shown in UTF-8"
    nkf -S -w "$work/japanese.sjis.txt"
    if cmp -s <(iconv -f CP932 -t UTF-8 "$work/japanese.sjis.txt") "$work/japanese.utf8.txt"; then
      echo "(the text survived EUC-JP on the server -> Shift_JIS on the host unchanged)"
    else
      echo "(the downloaded text differs from the original)" >&2
      return 1
    fi
  fi
  if [[ -f $root/$TARSEL_VSFTPD_UPLOAD/hello-upload.txt ]]; then
    say "the uploaded file, as the server stored it"
    cat "$root/$TARSEL_VSFTPD_UPLOAD/hello-upload.txt"
  fi
}

if [[ -x $tarsel_ftp ]]; then
  say "tarsel-ftp --filecode EUC $host (port $port)"
  printf '%s\n' "$demo_commands" | sed 's/^/  > /'
  printf '%s\n' "$demo_commands" |
    "$tarsel_ftp" --port "$port" --passive --filecode EUC "$host" "$user" "$pass"
  show_results
elif [[ -x $connect_example ]]; then
  say "connect_example $host $port $user"
  "$connect_example" "$host" "$port" "$user" "$pass"
else
  say "no demo host is built yet; with build/tools/tarsel-ftp/tarsel-ftp it would run"
  echo "  tarsel-ftp --port $port --passive --filecode EUC $host $user $pass"
  printf '%s\n' "$demo_commands" | sed 's/^/  > /'
fi

say "stopping the server"

#!/usr/bin/env bash
# Makes the certificates of the TLS test servers in DIR (default build/tls-certs):
#   ca.pem, ca.key                 a private CA
#   server.pem, server.key         a server certificate it signed, for 127.0.0.1, ::1, localhost
#   server-combined.pem            server.key and server.pem in one file (pure-ftpd wants that)
#   other-ca.pem, other-ca.key     a second, unrelated CA
#   other-server.pem, other-server.key
#                                  a server certificate the second CA signed, same names
# Keys are made here, never committed. Idempotent: files that exist and still verify are kept.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="${1:-$repo/build/tls-certs}"
mkdir -p "$dir"
cd "$dir"

command -v openssl >/dev/null || { echo "tls-certs: openssl is missing; run scripts/deps.sh" >&2; exit 1; }

# make_ca NAME: NAME.pem and NAME.key, self-signed, valid ten years.
make_ca() {
  local name=$1
  [[ -s $name.pem && -s $name.key ]] && return
  openssl req -x509 -new -nodes -newkey rsa:2048 \
    -keyout "$name.key" -out "$name.pem" -days 3650 -subj "/O=tarsel tests/CN=tarsel test $name" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    2>/dev/null
}

# make_server CA NAME: NAME.pem and NAME.key signed by CA, valid two years.
make_server() {
  local ca=$1 name=$2
  if [[ -s $name.pem && -s $name.key ]] \
    && openssl verify -CAfile "$ca.pem" "$name.pem" >/dev/null 2>&1; then
    return
  fi
  openssl req -new -nodes -newkey rsa:2048 \
    -keyout "$name.key" -out "$name.csr" -subj "/O=tarsel tests/CN=localhost" 2>/dev/null
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "extendedKeyUsage=serverAuth" \
    "subjectAltName=IP:127.0.0.1,IP:::1,DNS:localhost" >"$name.ext"
  openssl x509 -req -in "$name.csr" -CA "$ca.pem" -CAkey "$ca.key" -CAcreateserial \
    -days 730 -sha256 -extfile "$name.ext" -out "$name.pem" 2>/dev/null
  rm -f "$name.csr" "$name.ext"
}

umask 077
make_ca ca
make_server ca server
make_ca other-ca
make_server other-ca other-server
cat server.key server.pem >server-combined.pem.tmp
mv server-combined.pem.tmp server-combined.pem
# The servers read these after dropping privileges in some setups; certificates are public.
chmod 644 ca.pem other-ca.pem server.pem other-server.pem
chmod 600 ./*.key server-combined.pem
echo "$dir"

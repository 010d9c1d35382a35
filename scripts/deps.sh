#!/usr/bin/env bash
# Installs what building and testing tarsel needs on Debian 12, and only what is missing:
# a second run makes no network access at all. Works as root with no terminal (CI=true).
#
# Debian's FTP server packages conflict with one another, so only vsftpd is installed; the
# pure-ftpd and proftpd binaries are fetched with `apt-get download` and unpacked into a
# cache under the build tree (TARSEL_FTP_PKGS, default build/ftp-servers/pkgs), from where
# scripts/ftp-servers.sh runs them.
#
#   deps.sh               everything the tests, benchmarks and examples need
#   deps.sh --build-only  only what building the library and tarsel-ftp needs (scripts/install.sh)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
pkgs_dir="${TARSEL_FTP_PKGS:-$repo/build/ftp-servers/pkgs}"

# Build tools, test and benchmark libraries, the loops the adapters run on (c-ares for names,
# libuv, GLib, Qt 6), the virtual X server and a font the Qt desktop sample's test draws with,
# the sanitizer runtime for clang, the tools the scripts use, and the four FTP servers with
# the runtime libraries of the two unpacked ones.
packages=(
  cmake g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev libasio-dev libssl-dev
  libreadline-dev libcurl4-openssl-dev
  pkg-config libc-ares-dev libuv1-dev libglib2.0-dev
  qt6-base-dev qt6-qpa-plugins xvfb xauth fonts-dejavu-core
  clang libclang-rt-14-dev curl nkf time iproute2 passwd openssl
  vsftpd python3-pyftpdlib python3-openssl
  libhiredis0.14 libmemcached11 libmemcachedutil2 libpcre2-posix3 libsodium23 libcap2
)
build_only=(cmake g++ make pkg-config libasio-dev libssl-dev libc-ares-dev libreadline-dev)
if [[ ${1:-} == --build-only ]]; then
  packages=("${build_only[@]}")
elif [[ -n ${1:-} ]]; then
  echo "usage: deps.sh [--build-only]" >&2
  exit 2
fi
# Unpacked, never installed: name of the package and the binary that proves it unpacked.
unpacked=(
  "pure-ftpd:usr/sbin/pure-ftpd"
  "proftpd-core:usr/sbin/proftpd"
  "proftpd-mod-crypto:usr/lib/proftpd/mod_tls.so"
)

export DEBIAN_FRONTEND=noninteractive
apt_updated=no
sudo_cmd=()
if [[ $(id -u) -ne 0 ]]; then
  sudo_cmd=(sudo -n)
fi

apt_update_once() {
  if [[ $apt_updated == no ]]; then
    echo "deps: apt-get update"
    "${sudo_cmd[@]}" apt-get update -qq
    apt_updated=yes
  fi
}

installed() {
  dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed'
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt_update_once
  echo "deps: installing ${missing[*]}"
  # Debian starts a freshly installed vsftpd as a service on port 21 where an init system
  # runs; the tests start their own instances, so that one is neither needed nor harmful.
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi

[[ ${1:-} == --build-only ]] && exit 0

for entry in "${unpacked[@]}"; do
  name="${entry%%:*}" binary="${entry#*:}"
  dest="$pkgs_dir/$name"
  [[ -x "$dest/$binary" ]] && continue
  mkdir -p "$pkgs_dir/debs"
  rm -f "$pkgs_dir/debs/${name}"_*.deb
  # apt drops root to its own user for downloads; a directory that user owns avoids the
  # warning about an unsandboxed download.
  if [[ $(id -u) -eq 0 ]] && getent passwd _apt >/dev/null; then
    chown _apt "$pkgs_dir/debs"
  fi
  echo "deps: fetching $name"
  if ! (cd "$pkgs_dir/debs" && apt-get download -qq "$name" </dev/null); then
    # A fresh machine may not know the package yet: refresh the lists once and retry.
    [[ $apt_updated == yes ]] && { echo "deps: cannot download $name" >&2; exit 1; }
    apt_update_once
    (cd "$pkgs_dir/debs" && apt-get download -qq "$name" </dev/null)
  fi
  rm -rf "$dest.tmp"
  dpkg-deb -x "$pkgs_dir/debs/${name}"_*.deb "$dest.tmp"
  rm -rf "$dest"
  mv "$dest.tmp" "$dest"
  # Its shared libraries come from installed packages; name any that are missing now rather
  # than have the server die at start with a loader message in a log file.
  if ldd "$dest/$binary" | grep -q 'not found'; then
    echo "deps: $name lacks libraries:" >&2
    ldd "$dest/$binary" | grep 'not found' >&2
    exit 1
  fi
  echo "deps: $name unpacked in $dest"
done

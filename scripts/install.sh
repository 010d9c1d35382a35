#!/usr/bin/env bash
# Builds the library and tarsel-ftp (no tests, benchmarks or examples) and installs them:
# bin/tarsel-ftp, its man page, the library, its headers and its CMake package.
#
#   sudo ./scripts/install.sh [PREFIX]     PREFIX defaults to /usr/local
#
# Installs the few Debian packages the build needs when they are missing (scripts/deps.sh
# --build-only). The build tree is build-install/, apart from the developers' build/.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
prefix="${1:-/usr/local}"
jobs="$(nproc 2>/dev/null || echo 2)"

"$repo/scripts/deps.sh" --build-only
cmake -S "$repo" -B "$repo/build-install" -DCMAKE_BUILD_TYPE=Release \
  -DTARSEL_BUILD_TESTS=OFF -DTARSEL_BUILD_BENCH=OFF -DTARSEL_BUILD_EXAMPLES=OFF -DTARSEL_BUILD_TOOLS=ON \
  -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$repo/build-install" -j"$jobs"
cmake --install "$repo/build-install"
echo "install.sh: tarsel-ftp is $prefix/bin/tarsel-ftp; try: tarsel-ftp ftp.example.org, man tarsel-ftp"

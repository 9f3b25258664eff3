#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and CI need.
# Idempotent: packages already present are left as they are.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build git python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine64 util-linux
  lintian devscripts groff-base man-db dpkg-dev fakeroot file pkgconf
  debootstrap
  libmbim-glib-dev libmbim-utils libmbim-proxy
  clang-14 libclang-rt-14-dev clang-format-14
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
echo "setup: all ${#packages[@]} packages present"

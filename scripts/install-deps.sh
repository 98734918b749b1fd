#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need. Quick when
# everything is already present: it only asks apt when a tool is missing.
set -euo pipefail

need=()
have() { command -v "$1" >/dev/null 2>&1; }
pkg_for() { # tool package
  have "$1" || need+=("$2")
}
pkg_for x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64-posix
pkg_for x86_64-w64-mingw32-windres binutils-mingw-w64-x86-64
pkg_for wine wine
[ -x /usr/lib/wine/wine64 ] || need+=(wine64)
pkg_for winegcc wine64-tools
pkg_for gcc gcc
pkg_for Xvfb xvfb
pkg_for xvfb-run xvfb
pkg_for xauth xauth
pkg_for bsdtar libarchive-tools
pkg_for openssl openssl
pkg_for osslsigncode osslsigncode
pkg_for cmake cmake
pkg_for make make
[ -x /usr/bin/python3 ] || need+=(python3)
/usr/bin/python3 -c 'import pefile' 2>/dev/null || need+=(python3-pefile)
pkg_for import imagemagick
pkg_for bc bc
# The bench's anchors for patch sizes: what the distribution's delta tools make.
pkg_for xdelta3 xdelta3
pkg_for zstd zstd
# Zip writers whose archives the one zip reader must accept.
pkg_for zip zip
pkg_for 7z p7zip-full
pkg_for clang-format clang-format
[ -d /usr/src/googletest/googletest ] || need+=(googletest)
[ -f /usr/include/archive.h ] || need+=(libarchive-dev)
[ -f /usr/include/openssl/sha.h ] || need+=(libssl-dev)
[ -f /usr/include/x86_64-linux-gnu/curl/curl.h ] || need+=(libcurl4-openssl-dev)
[ -x /usr/sbin/nginx ] || need+=(nginx-light)
pkg_for g++ g++
[ -f /usr/include/wine/wine/windows/windows.h ] || need+=(libwine-dev)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${need[*]}); run as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null

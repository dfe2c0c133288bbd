#!/bin/sh
# Installs the build and test tools (Debian, as root). Safe to run again:
# packages already present are skipped.
set -e
need=""
for p in g++ cmake make dpkg-dev xz-utils libgtest-dev googletest g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 fonts-wine xvfb xdotool imagemagick python3 clang libclang-rt-14-dev pkg-config libhivex-dev libhivex-bin libregf-utils; do
    dpkg -s "$p" >/dev/null 2>&1 || need="$need $p"
done
[ -z "$need" ] && exit 0
if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing packages:$need (run as root)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
case "$need" in *i386*) dpkg --add-architecture i386 ;; esac
apt-get update -q
apt-get install -y -q --no-install-recommends $need

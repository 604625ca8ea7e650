#!/usr/bin/env bash
# Installs what the build, the tests, the packages and the benchmark need from Debian's archive.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
    make cmake ninja-build g++ pkg-config file
    libtsan2  # ThreadSanitizer's runtime, for the linux-tsan preset
    libgtest-dev googletest
    qt6-base-dev libgl-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64
    # 64-bit Wine runs the x86_64 build; its 32-bit half runs the i686 product.
    wine64 wine32:i386 xvfb xauth fonts-wqy-microhei imagemagick
    # make package and its test
    dpkg-dev lintian desktop-file-utils man-db zip unzip
    # make bench: the peers and the timer
    fd-find bfs time python3
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root:  sudo make deps" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
echo "Dependencies installed."

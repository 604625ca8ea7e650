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
# Written when the 32-bit packages alone could not be installed: make test then says so.
marker="$(dirname "$0")/../build/deps/wine32-unavailable"
# A mirror caught mid-sync fails an index now and then: try again, then let the install decide
# with what was fetched. Where that was so last time too, once is enough.
attempts=4
[[ -f $marker ]] && attempts=1
for ((attempt = 1; ; attempt++)); do
    apt-get update -qq && break
    if [[ $attempt -ge $attempts ]]; then
        echo "apt-get update failed; installing from the indexes at hand" >&2
        break
    fi
    sleep $((attempt * 10))
done
if ! apt-get install -y -qq "${missing[@]}" >/dev/null; then
    # An i386 package must have the very version of the machine's own: while a mirror's i386
    # indexes are out of step with its amd64 ones, none installs. Everything else still does.
    rest=() i386=()
    for p in "${missing[@]}"; do
        if [[ $p == *:i386 ]]; then i386+=("$p"); else rest+=("$p"); fi
    done
    [[ ${#i386[@]} -gt 0 ]] || exit 1
    [[ ${#rest[@]} -eq 0 ]] || apt-get install -y -qq "${rest[@]}" >/dev/null
    mkdir -p "$(dirname "$marker")"
    echo "apt-get could not install ${i386[*]} on $(date -u +%F)" >"$marker"
    echo "32-bit Wine could not be installed (see above); every other package is." >&2
    exit 0
fi
rm -f "$marker"
echo "Dependencies installed."

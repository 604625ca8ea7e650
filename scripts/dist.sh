#!/usr/bin/env bash
# Copies a Windows build's programs, stripped, with the default skin into a folder of their own.
# Fails when a program is missing.
# Usage: dist.sh PRESET            -> dist/PRESET/ from build/PRESET/
#        dist.sh BUILD_DIR OUT_DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [[ $# -eq 1 && $1 != */* ]]; then
    build=$root/build/$1 out=$root/dist/$1
elif [[ $# -eq 2 ]]; then
    build=$1 out=$2
else
    echo "usage: dist.sh PRESET | dist.sh BUILD_DIR OUT_DIR" >&2
    exit 2
fi
strip=$(sed -n 's/^CMAKE_STRIP:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[[ -x $strip ]] || { echo "dist.sh: $build is no configured Windows build (no strip tool)" >&2; exit 1; }
for exe in Quarvex.exe quarvex-find.exe; do
    [[ -f $build/bin/$exe ]] || { echo "dist.sh: $build/bin/$exe is missing" >&2; exit 1; }
done
rm -rf "$out"
mkdir -p "$out"
for exe in Quarvex.exe quarvex-find.exe; do
    "$strip" -o "$out/$exe" "$build/bin/$exe"
done
cp "$root/resources/skinh.she" "$out/"

#!/usr/bin/env bash
# Copies a Windows build's programs with the default skin into dist/<preset>/.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
out=dist/$preset
mkdir -p "$out"
for exe in Quarvex.exe quarvex-find.exe; do
    [[ -f build/$preset/bin/$exe ]] && cp "build/$preset/bin/$exe" "$out/"
done
cp resources/skinh.she "$out/"

#!/usr/bin/env bash
# Configures and builds one CMake preset (Ninja), on every core. A tree that another generator
# made is configured afresh, since a cache cannot change its generator.
# Usage: build-preset.sh PRESET
set -euo pipefail
cd "$(dirname "$0")/.."
preset=$1
cache=build/$preset/CMakeCache.txt
if [[ -f $cache ]] && ! grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache"; then
    rm -rf "$cache" "build/$preset/CMakeFiles"
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"

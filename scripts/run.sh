#!/usr/bin/env bash
# Starts the window program, or the console twin on the current folder where there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
bin=build/linux/bin
if [[ -x $bin/quarvex ]]; then
    if [[ -z ${DISPLAY:-}${WAYLAND_DISPLAY:-} ]]; then
        echo "No display to open the window on; try: xvfb-run -a make run" >&2
        exit 1
    fi
    exec "$bin/quarvex"
fi
exec "$bin/quarvex-find" '*.*' "$(pwd)"

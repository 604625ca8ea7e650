#!/usr/bin/env bash
# `make bench`: times quarvex-find against GNU find and fd on a generated tree (made once under
# build/bench-tree). See bench/README.md.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 bench/bench.py "$@"

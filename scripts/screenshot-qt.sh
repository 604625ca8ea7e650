#!/usr/bin/env bash
# Screenshots of the Qt window under Xvfb after a search of a small sample tree: one with the
# report box up, one of the window alone. Usage: scripts/screenshot-qt.sh [OUT_DIR] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/screenshots}
bin=${2:-build/linux}/bin
mkdir -p "$out"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/文档/报告" "$tree/music/专辑 2010" "$tree/photos"
printf '%03000d' 0 >"$tree/文档/报告/年度总结.txt"
printf 'x' >"$tree/文档/说明.doc"
head -c 3145728 /dev/zero >"$tree/music/专辑 2010/01 开场.mp3"
head -c 4500000 /dev/zero >"$tree/music/专辑 2010/02 夜曲.mp3"
: >"$tree/photos/empty.jpg"
for i in $(seq 1 30); do head -c $((i * 1000)) /dev/zero >"$tree/photos/IMG_$((1000 + i)).jpg"; done

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    QT_QPA_PLATFORM=xcb "$1/quarvex-gui-bench" --hold 3 "$2" "*.*" >/dev/null &
    sleep 2.0; import -window root "$3/qt-report.png"
    sleep 3.0; import -window root "$3/qt-window.png"
    wait' _ "$bin" "$tree" "$out"
echo "$out/qt-report.png $out/qt-window.png"

#!/usr/bin/env bash
# Runs the x86_64 Quarvex.exe under Wine and Xvfb, searches a small sample tree, and writes a
# PNG of the screen with the window after the search: build/windows-x64/screenshot.png (or $1).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/windows-x64/screenshot.png}
exe=build/windows-x64/bin/Quarvex.exe
shooter=build/windows-x64/bin/quarvex-screenshot-driver.exe
[[ -f $exe && -f $shooter ]] || { echo "build the windows-x64 preset first" >&2; exit 1; }
cp resources/skinh.she build/windows-x64/bin/
# A clean drive T: (see cmake/wine-run.sh) for the sample tree the driver creates.
rm -rf build/windows-x64/wine-drive-t
mkdir -p build/windows-x64/wine-drive-t
ready_unix=$PWD/build/windows-x64/screenshot.ready
ready_win="Z:${ready_unix//\//\\}"
inner=$(mktemp)
trap 'rm -f "$inner" build/windows-x64/screenshot.ready build/windows-x64/screenshot.done' EXIT
cat >"$inner" <<'INNER'
set -euo pipefail
shooter=$1 exe=$2 out=$3 ready_win=$4
"$PWD/cmake/wine-run.sh" "$shooter" "$exe" "$ready_win" &
driver=$!
# The driver writes the ready file once the search is over and its boxes are answered.
for _ in $(seq 1 600); do
    [[ -f build/windows-x64/screenshot.ready ]] && break
    sleep 0.1
done
import -window root "$out"
rm -f build/windows-x64/screenshot.ready
touch build/windows-x64/screenshot.done
wait "$driver" || true
INNER
rm -f build/windows-x64/screenshot.ready build/windows-x64/screenshot.done
exe_unix=$PWD/$exe
xvfb-run -a -s "-screen 0 1024x768x24" bash "$inner" "$shooter" "Z:${exe_unix//\//\\}" "$out" "$ready_win"
echo "$out"

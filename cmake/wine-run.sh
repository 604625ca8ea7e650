#!/usr/bin/env bash
# Runs a Windows program of the x86_64 build under wine64 with a prefix of its own inside the build
# tree. The first run creates the prefix (10-20 s); a lock keeps parallel tests from racing it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# The build tree is the nearest folder above the working folder (ctest runs tests inside it)
# that holds a CMakeCache.txt; outside one, the windows-x64 preset's tree.
build=$PWD
while [[ $build != / && ! -f $build/CMakeCache.txt ]]; do build=$(dirname "$build"); done
[[ -f $build/CMakeCache.txt ]] || build=$(cd "$here/.." && pwd)/build/windows-x64
export WINEPREFIX=${QUARVEX_WINEPREFIX:-$build/wine-prefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
loader=${QUARVEX_WINE:-/usr/lib/wine/wine64}
[[ -x $loader ]] || loader=$(command -v wine64)
mkdir -p "$build"
(
    flock 9
    if [[ ! -f $WINEPREFIX/.quarvex-ready ]]; then
        "$loader" wineboot --init >/dev/null 2>&1 || true
        # Xvfb runs no window manager: Wine draws the frames and manages the windows itself.
        "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
        "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
        # Wine's own fonts (Tahoma for the UI, Marlett for the caption buttons) where it looks.
        cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
        # Chinese window texts: the UI fonts fall back to WenQuanYi Micro Hei.
        for face in Tahoma "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI"; do
            "$loader" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
                /v "$face" /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1 || true
        done
        "$(dirname "$loader")/wineserver" -w 2>/dev/null || true
        touch "$WINEPREFIX/.quarvex-ready"
    fi
    # Drive T: is a folder of the build tree that the window tests and the screenshot search.
    mkdir -p "$build/wine-drive-t"
    [[ -L $WINEPREFIX/dosdevices/t: ]] || ln -sfn "$build/wine-drive-t" "$WINEPREFIX/dosdevices/t:"
) 9>"$WINEPREFIX.lock"
exec "$loader" "$@"

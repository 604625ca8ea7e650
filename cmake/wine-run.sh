#!/usr/bin/env bash
# Runs a Windows program under Wine: a PE32 (i686) program under the 32-bit loader in a win32
# prefix, any other under wine64 in a win64 prefix; each prefix lives inside the build tree. The
# first run creates the prefix (10-20 s); a lock keeps parallel tests from racing it.
# QUARVEX_WINE32 and QUARVEX_WINE64 name other loaders, QUARVEX_WINEPREFIX another prefix.
# QUARVEX_WINEARCH=win64 runs a PE32 program as 64-bit Windows runs it, a WOW64 process, in the
# win64 prefix (which wine64 makes).
# Usage: wine-run.sh PROGRAM [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# The build tree is the nearest folder above the working folder (ctest runs tests inside it)
# that holds a CMakeCache.txt; outside one, the windows-x64 preset's tree.
build=$PWD
while [[ $build != / && ! -f $build/CMakeCache.txt ]]; do build=$(dirname "$build"); done
[[ -f $build/CMakeCache.txt ]] || build=$(cd "$here/.." && pwd)/build/windows-x64

# The PE header's machine field: 014c is i386.
pe_machine() {
    local at
    at=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 0
    [[ -n $at ]] && od -An -t x2 -j $((at + 4)) -N 2 "$1" 2>/dev/null | tr -d ' '
}
wine64=${QUARVEX_WINE64:-/usr/lib/wine/wine64}
[[ -x $wine64 ]] || wine64=$(command -v wine64 || true)
if [[ -f ${1:-} && $(pe_machine "$1") == 014c ]]; then
    export WINEARCH=${QUARVEX_WINEARCH:-win32}
    loader=${QUARVEX_WINE32:-/usr/lib/wine/wine}
    if ! "$loader" --version >/dev/null 2>&1; then
        echo "wine-run.sh: $loader cannot start: 32-bit Wine (wine32:i386) is missing or this" \
            "kernel cannot run 32-bit programs" >&2
        exit 125
    fi
    maker=$loader
    [[ $WINEARCH == win64 ]] && maker=$wine64
else
    export WINEARCH=win64
    loader=$wine64
    maker=$loader
fi
export WINEPREFIX=${QUARVEX_WINEPREFIX:-$build/wine-prefix-$WINEARCH}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$build"
(
    flock 9
    if [[ ! -f $WINEPREFIX/.quarvex-ready ]]; then
        "$maker" wineboot --init >/dev/null 2>&1 || true
        # Xvfb runs no window manager: Wine draws the frames and manages the windows itself.
        "$maker" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
        "$maker" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
        # Wine's own fonts (Tahoma for the UI, Marlett for the caption buttons) where it looks.
        cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
        # Chinese window texts: the UI fonts fall back to WenQuanYi Micro Hei.
        for face in Tahoma "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2" "Segoe UI"; do
            "$maker" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
                /v "$face" /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1 || true
        done
        "$(dirname "$maker")/wineserver" -w 2>/dev/null || true
        touch "$WINEPREFIX/.quarvex-ready"
    fi
    # Drive T: is a folder of the build tree that the window tests and the screenshot search.
    mkdir -p "$build/wine-drive-t"
    [[ -L $WINEPREFIX/dosdevices/t: ]] || ln -sfn "$build/wine-drive-t" "$WINEPREFIX/dosdevices/t:"
) 9>"$WINEPREFIX.lock"
exec "$loader" "$@"

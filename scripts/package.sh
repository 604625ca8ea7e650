#!/usr/bin/env bash
# Builds what a user installs, from built trees:
#   deb  quarvex_<version>_<arch>.deb from the linux preset: the window, the console twin, the
#        skin beside them (as the install rules place it), icons, desktop entry, manual pages;
#        dependencies from dpkg-shlibdeps
#   zip  Quarvex-<version>-win32.zip from the windows-x86 preset: Quarvex.exe, quarvex-find.exe,
#        skinh.she, a readme and the licence
# Usage: package.sh deb|zip [BUILD_DIR [OUT_DIR]]   (defaults: build/linux or build/windows-x86,
#        and dist/). Prints the package's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-}
case $kind in
    deb) build=${2:-$root/build/linux} ;;
    zip) build=${2:-$root/build/windows-x86} ;;
    *) echo "usage: package.sh deb|zip [BUILD_DIR [OUT_DIR]]" >&2; exit 2 ;;
esac
out=${3:-$root/dist}
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
[[ -f $build/CMakeCache.txt ]] || { echo "package.sh: $build is not built" >&2; exit 1; }
version=$(cache_value CMAKE_PROJECT_VERSION)
mkdir -p "$out"
out=$(cd "$out" && pwd)
umask 022
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

package_deb() {
    # Staged where dpkg-shlibdeps expects a package's files: debian/<package>/.
    local stage=$work/debian/quarvex arch depends
    arch=$(dpkg --print-architecture)
    # The changelog's newest entry names the version being packaged.
    if ! head -n 1 "$root/packaging/deb/changelog" | grep -qF "quarvex ($version)"; then
        echo "package.sh: packaging/deb/changelog has no entry for $version" >&2
        return 1
    fi
    cmake --install "$build" --prefix "$stage/usr" --strip >/dev/null
    for exe in lib/quarvex/quarvex bin/quarvex-find; do
        [[ -x $stage/usr/$exe ]] || { echo "package.sh: $exe was not installed" >&2; return 1; }
        # As Debian's own packages: no compiler notes either.
        strip --remove-section=.comment "$stage/usr/$exe"
    done
    [[ $(readlink "$stage/usr/bin/quarvex") == ../lib/quarvex/quarvex ]] ||
        { echo "package.sh: bin/quarvex is no link to the window" >&2; return 1; }
    gzip -9n "$stage"/usr/share/man/man1/*.1
    local doc=$stage/usr/share/doc/quarvex
    mkdir -p "$doc"
    cp "$root/packaging/deb/copyright" "$doc/"
    gzip -9nc "$root/packaging/deb/changelog" >"$doc/changelog.gz"

    # dpkg-shlibdeps reads the package list from debian/control and finds the package's root by
    # its DEBIAN folder.
    mkdir -p "$stage/DEBIAN"
    printf 'Source: quarvex\n\nPackage: quarvex\nArchitecture: any\n' >"$work/debian/control"
    depends=$(cd "$work" && dpkg-shlibdeps -O -edebian/quarvex/usr/lib/quarvex/quarvex \
        -edebian/quarvex/usr/bin/quarvex-find | sed -n 's/^shlibs:Depends=//p')
    [[ -n $depends ]] || { echo "package.sh: dpkg-shlibdeps found no dependencies" >&2; return 1; }

    (cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
    sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
        -e "s/@SIZE@/$(du -sk "$stage/usr" | cut -f1)/" \
        "$root/packaging/deb/control.in" >"$stage/DEBIAN/control"
    local deb=$out/quarvex_${version}_${arch}.deb
    dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
    echo "$deb"
}

package_zip() {
    local files=$work/files
    "$root/scripts/dist.sh" "$build" "$files"
    if ! "$(cache_value CMAKE_OBJDUMP)" -f "$files/Quarvex.exe" | grep -q 'file format pei-i386'; then
        echo "package.sh: $build is not the i686 Windows build" >&2
        return 1
    fi
    # Notepad on older Windows shows only CRLF line ends.
    sed -e "s/@VERSION@/$version/" -e 's/$/\r/' "$root/packaging/win32/README.txt" >"$files/README.txt"
    sed -e 's/$/\r/' "$root/LICENSE" >"$files/LICENSE.txt"
    local zip=$out/Quarvex-$version-win32.zip
    rm -f "$zip"
    (cd "$files" && zip -q -X "$zip" Quarvex.exe quarvex-find.exe skinh.she README.txt LICENSE.txt)
    echo "$zip"
}

"package_$kind"

#!/usr/bin/env bash
# The Windows zip: exactly the i686 programs, stripped, the skin, a readme and the licence; the
# shipped console twin runs under 32-bit Wine. dist.sh, which gathers the programs, fails when one
# is missing.
# Usage: package_zip_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
work=$(mktemp -d "$PWD/package-zip.XXXXXX")
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache_value CMAKE_PROJECT_VERSION)
objdump=$(cache_value CMAKE_OBJDUMP)

zip=$("$root/scripts/package.sh" zip "$build" "$work") || { echo "FAIL: package.sh zip"; exit 1; }
[[ $zip == "$work/Quarvex-$version-win32.zip" ]] || fail "package named $zip"
listing=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
[[ $listing == "LICENSE.txt Quarvex.exe README.txt quarvex-find.exe skinh.she " ]] ||
    fail "zip holds: $listing"

files=$work/files
unzip -q "$zip" -d "$files" || fail "unzip"
for exe in Quarvex.exe quarvex-find.exe; do
    "$objdump" -f "$files/$exe" | grep -q 'file format pei-i386' || fail "$exe is not an i686 program"
    "$objdump" -t "$files/$exe" | grep -qx 'no symbols' || fail "$exe is not stripped"
done
# Stripped, they still name Windows 7 and are large-address-aware.
headers=$("$root/tests/project/pe_version.sh" "$objdump" "$files" Quarvex.exe quarvex-find.exe) ||
    fail "the shipped programs' headers: $headers"
cmp -s "$files/skinh.she" "$root/resources/skinh.she" || fail "the skin differs from resources/skinh.she"
grep -q "^Quarvex $version for Windows" "$files/README.txt" || fail "the readme names no version"
grep -q 'Windows 7 or later' "$files/README.txt" || fail "the readme names no oldest Windows"
for text in README.txt LICENSE.txt; do
    [[ $(grep -c $'\r$' "$files/$text") -eq $(wc -l <"$files/$text") ]] ||
        fail "the lines of $text do not all end in CRLF"
done
cmp -s <(tr -d '\r' <"$files/LICENSE.txt") "$root/LICENSE" || fail "LICENSE.txt differs from LICENSE"

out=$("$root/cmake/wine-run.sh" "$files/quarvex-find.exe" --version 2>&1 | tr -d '\r')
[[ $out == "quarvex-find $version" ]] || fail "the shipped quarvex-find.exe --version printed: $out"

# dist.sh refuses a build that lacks either program, and leaves no partial folder.
strip=$(cache_value CMAKE_STRIP)
for missing in Quarvex.exe quarvex-find.exe; do
    fake=$work/fake-$missing
    mkdir -p "$fake/bin"
    echo "CMAKE_STRIP:FILEPATH=$strip" >"$fake/CMakeCache.txt"
    for exe in Quarvex.exe quarvex-find.exe; do
        [[ $exe == "$missing" ]] || cp "$build/bin/$exe" "$fake/bin/"
    done
    if err=$("$root/scripts/dist.sh" "$fake" "$fake/dist" 2>&1); then
        fail "dist.sh succeeded without $missing"
    elif [[ $err != *"$missing is missing"* ]]; then
        fail "dist.sh without $missing said: $err"
    fi
    [[ ! -e $fake/dist ]] || fail "dist.sh without $missing left $fake/dist behind"
done

[[ $status -eq 0 ]] && echo "$(basename "$zip"): $listing"
exit $status

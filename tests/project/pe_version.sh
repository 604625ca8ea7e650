#!/usr/bin/env bash
# Every Windows program says in its PE header that it needs Windows 7 (6.1) or later: the OS
# and subsystem version fields; and a 32-bit one that it is large-address-aware (4 GB of address
# space under WOW64). Usage: pe_version.sh OBJDUMP BIN_DIR REQUIRED_EXE...
set -uo pipefail
objdump=$1 bin=$2; shift 2
# A field of the COFF header, which follows the "PE\0\0" that the DOS header points to.
coff_field() {  # file offset od-type
    local at
    at=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
    od -An -t "$3" -j $((at + 4 + $2)) -N 2 "$1" | tr -d ' '
}
status=0
for exe in "$@"; do
    [[ -f $bin/$exe ]] || { echo "$exe: missing from $bin"; status=1; }
done
checked=0
for path in "$bin"/*.exe; do
    [[ -f $path ]] || continue
    header=$("$objdump" -p "$path") || { echo "$path: objdump failed"; status=1; continue; }
    for field in MajorOSystemVersion=6 MinorOSystemVersion=1 MajorSubsystemVersion=6 \
                 MinorSubsystemVersion=1; do
        name=${field%=*} want=${field#*=}
        got=$(awk -v f="$name" '$1 == f { print $2 }' <<<"$header")
        if [[ $got != "$want" ]]; then
            echo "$(basename "$path"): $name is ${got:-absent}, not $want"
            status=1
        fi
    done
    # Machine 014c (i386): Characteristics must hold IMAGE_FILE_LARGE_ADDRESS_AWARE.
    if [[ $(coff_field "$path" 0 x2) == 014c ]] &&
        (( ($(coff_field "$path" 18 u2) & 0x20) == 0 )); then
        echo "$(basename "$path"): not large-address-aware"
        status=1
    fi
    checked=$((checked + 1))
done
echo "$checked programs checked"
[[ $checked -gt 0 ]] || status=1
exit $status

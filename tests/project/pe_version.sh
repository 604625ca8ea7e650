#!/usr/bin/env bash
# Every Windows program says in its PE header that it needs Windows 7 (6.1) or later: the OS
# and subsystem version fields. Usage: pe_version.sh OBJDUMP BIN_DIR REQUIRED_EXE...
set -uo pipefail
objdump=$1 bin=$2; shift 2
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
    checked=$((checked + 1))
done
echo "$checked programs checked"
[[ $checked -gt 0 ]] || status=1
exit $status

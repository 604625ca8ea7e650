#!/usr/bin/env bash
# Builds every preset and runs every test suite, then prints one line: "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
logdir=build/test-logs
mkdir -p "$logdir"
passed=0
failed=0

note_failure() { echo "FAILED: $1" >&2; failed=$((failed + 1)); }

build() {  # preset
    ./scripts/build-preset.sh "$1" >"$logdir/$1-build.log" 2>&1 ||
        { tail -n 40 "$logdir/$1-build.log" >&2; return 1; }
}

run_ctest() {  # preset [runner...]
    local preset=$1; shift
    local log="$logdir/$preset-ctest.log"
    "$@" ctest --preset "$preset" -j "$jobs" --timeout 600 2>&1 | tee "$log" | grep -E '(Failed|\*\*\*|tests passed)' 
    local line
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z $line ]]; then
        note_failure "$preset: no test summary (see $log)"
        return
    fi
    local bad total
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
}

echo "== linux"
if build linux; then run_ctest linux; else note_failure "linux build"; fi

echo "== linux under AddressSanitizer + UndefinedBehaviorSanitizer"
if build linux-asan; then
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_ctest linux-asan
else
    note_failure "linux-asan build"
fi

echo "== windows-x64 under 64-bit Wine"
if build windows-x64; then
    ./scripts/dist.sh windows-x64 || note_failure "windows-x64 dist"
    run_ctest windows-x64 xvfb-run -a -s "-screen 0 1024x768x24"
else
    note_failure "windows-x64 build"
fi

# The i686 product runs under 32-bit Wine where the kernel runs 32-bit programs: try it.
echo "== windows-x86 (the product) under 32-bit Wine"
wine32=${QUARVEX_WINE32:-/usr/lib/wine/wine}
if build windows-x86; then
    ./scripts/dist.sh windows-x86 || note_failure "windows-x86 dist"
    if [[ ! -x $wine32 ]]; then
        note_failure "32-bit Wine ($wine32) is not installed; run: make deps"
    elif ! "$wine32" --version >/dev/null 2>&1; then
        echo "this kernel cannot run 32-bit programs: the i686 Windows suites are skipped, the x86_64 ones ran"
    else
        run_ctest windows-x86 xvfb-run -a -s "-screen 0 1024x768x24"
    fi
else
    note_failure "windows-x86 build"
fi

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]

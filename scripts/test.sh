#!/usr/bin/env bash
# Builds every preset and runs every test suite, then prints its summary, ending in the line
# "N passed, N failed", after one that counts the skipped tests.
#
# The presets build one after another, each on every core. The suites then run in two phases:
#  1. side by side: linux, linux-asan, linux-tsan (the walk's suites under ThreadSanitizer), and
#     the Windows suites under Wine (x86_64, then the i686 product), each Windows suite without
#     its tests labelled "alone";
#  2. the "alone" tests (the Win32 window, which compares the times of its own steps, and the
#     console's, which wait on Wine's change notifications and console events), one preset
#     after the other with nothing else of ours running.
# Most of the Linux suites' time is the kernel's, making and removing trees, one test at a time;
# most of the Wine suites' is Wine's start-up and event round trips: they overlap well.
set -uo pipefail
cd "$(dirname "$0")/.."
logdir=build/test-logs
rm -rf "$logdir"
mkdir -p "$logdir"
wine32=${QUARVEX_WINE32:-/usr/lib/wine/wine}

# Every step appends "<passed> <failed>" to $logdir/<name>.result and what it has to say to
# $logdir/<name>.report, and a suite the number of its tests that did not run (skipped where they
# could not do their work, or disabled) to $logdir/<name>.skips; all are read once all steps
# have ended.
record() {  # name passed failed [line]
    echo "$2 $3" >>"$logdir/$1.result"
    [[ -z ${4:-} ]] || echo "$4" >>"$logdir/$1.report"
}

build() {  # preset
    if ! ./scripts/build-preset.sh "$1" >"$logdir/$1-build.log" 2>&1; then
        record "$1" 0 1 "FAILED: $1 build (see $logdir/$1-build.log)"
        tail -n 40 "$logdir/$1-build.log" >>"$logdir/$1.report"
        return 1
    fi
}

suite() {  # preset log-name [ctest options] [-- runner...]
    local preset=$1 log=$logdir/$2.log; shift 2
    local options=()
    while [[ $# -gt 0 && $1 != -- ]]; do options+=("$1"); shift; done
    [[ ${1:-} == -- ]] && shift
    "$@" ctest --preset "$preset" -j "$(nproc)" --timeout 600 --output-on-failure \
        "${options[@]}" >"$log" 2>&1
    grep -E '\*\*\*|\((Failed|Timeout|Not Run)\)' "$log" >>"$logdir/$preset.report"
    # Which cases failed, and the first lines of why: CI shows the report, not the log.
    grep -E -A 4 ': Failure$' "$log" | head -n 60 >>"$logdir/$preset.report"
    grep -E '^\[  FAILED  \] [A-Za-z_0-9]+\.' "$log" | sort -u >>"$logdir/$preset.report"
    local line
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [[ -z $line ]]; then
        record "$preset" 0 1 "FAILED: $preset: no test summary (see $log)"
        return
    fi
    local bad total skipped disabled
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    # ctest counts a skipped test among the total as passed; a disabled one not at all.
    skipped=$(grep -cE '^\s+[0-9]+ - .+ \(Skipped\)$' "$log")
    disabled=$(grep -cE '^\s+[0-9]+ - .+ \(Disabled\)$' "$log")
    record "$preset" $((total - bad - skipped)) "$bad"
    echo $((skipped + disabled)) >>"$logdir/$preset.skips"
}

dist() {  # preset
    ./scripts/dist.sh "$1" >>"$logdir/$1.report" 2>&1 || record "$1" 0 1 "FAILED: $1 dist"
}

xvfb=(xvfb-run -a -s "-screen 0 1024x768x24")

echo "== building linux, linux-asan, linux-tsan, windows-x64, windows-x86"
built=()
for preset in linux linux-asan linux-tsan windows-x64 windows-x86; do
    build "$preset" && built+=("$preset")
done
has() { [[ " ${built[*]} " == *" $1 "* ]]; }

# The i686 product runs under 32-bit Wine where the kernel runs 32-bit programs: try it.
windows=()
headers_only=()
has windows-x64 && windows+=(windows-x64)
if has windows-x86; then
    if [[ ! -x $wine32 && -f build/deps/wine32-unavailable ]]; then
        # make deps tried, and the archive had no 32-bit Wine for this machine (its note says).
        echo "== 32-bit Wine could not be installed ($(cat build/deps/wine32-unavailable)):" \
            "the i686 Windows suites are skipped but for the checks that run nothing (label" \
            "nowine), the x86_64 ones run"
        echo "32-bit Wine could not be installed: only the checks that run nothing ran" \
            >"$logdir/windows-x86.skipped"
        headers_only=(windows-x86)
    elif [[ ! -x $wine32 ]]; then
        record windows-x86 0 1 "FAILED: 32-bit Wine ($wine32) is not installed; run: make deps"
    elif ! "$wine32" --version >/dev/null 2>&1; then
        echo "== this kernel cannot run 32-bit programs: the i686 Windows suites are skipped but" \
            "for the checks that run nothing (label nowine), the x86_64 ones run"
        echo "this kernel cannot run 32-bit programs: only the checks that run nothing ran" \
            >"$logdir/windows-x86.skipped"
        headers_only=(windows-x86)
    else
        windows+=(windows-x86)
    fi
fi

# A fresh Wine prefix takes Wine's start-up of a whole system (10-20 s quiet, minutes on a
# loaded machine): make it now, before the suites load the machine, and not inside the time
# limit of whichever test happens to run first.
for preset in "${windows[@]}"; do
    (cd "build/$preset" && "${xvfb[@]}" ../../cmake/wine-run.sh cmd /c exit) \
        >"$logdir/$preset-prefix.log" 2>&1 || true
done

echo "== running the suites"
has linux && suite linux linux &
has linux-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    suite linux-asan linux-asan &
has linux-tsan && suite linux-tsan linux-tsan &
(
    for preset in windows-x64 windows-x86; do has "$preset" && dist "$preset"; done
    for preset in "${windows[@]}"; do suite "$preset" "$preset" -LE alone -- "${xvfb[@]}"; done
    for preset in "${headers_only[@]}"; do suite "$preset" "$preset" -L nowine; done
) &
wait
for preset in "${windows[@]}"; do suite "$preset" "$preset-alone" -L alone -- "${xvfb[@]}"; done

passed=0
failed=0
skipped=0
for preset in linux linux-asan linux-tsan windows-x64 windows-x86; do
    p=0 f=0 s=0
    if [[ -f $logdir/$preset.result ]]; then
        while read -r a b; do p=$((p + a)) f=$((f + b)); done <"$logdir/$preset.result"
    fi
    if [[ -f $logdir/$preset.skips ]]; then
        while read -r a; do s=$((s + a)); done <"$logdir/$preset.skips"
    fi
    case $preset in
        linux) title=linux ;;
        linux-asan) title="linux under AddressSanitizer + UndefinedBehaviorSanitizer" ;;
        linux-tsan) title="linux walk, platform and console under ThreadSanitizer" ;;
        windows-x64) title="windows-x64 under 64-bit Wine" ;;
        windows-x86) title="windows-x86 (the product) under 32-bit Wine" ;;
    esac
    if [[ -f $logdir/$preset.skipped ]]; then
        echo "== $title: $(cat "$logdir/$preset.skipped"): $p passed, $f failed"
    else
        echo "== $title: $p passed, $f failed, $s skipped"
    fi
    [[ -f $logdir/$preset.report ]] && cat "$logdir/$preset.report"
    passed=$((passed + p))
    failed=$((failed + f))
    skipped=$((skipped + s))
done
# The skipped tests are counted on a line of their own, so that the last line keeps its form.
echo "$skipped skipped (tests that could not do their work here; see the suites above)"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]

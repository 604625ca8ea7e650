#!/usr/bin/env bash
# The .deb a user installs: its name, fields and files, programs that run from a scratch root it
# is unpacked into, a valid desktop entry, manual pages without warnings, no lintian errors.
# Usage: package_deb_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

deb=$("$root/scripts/package.sh" deb "$build" "$work") || { echo "FAIL: package.sh deb"; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[[ $deb == "$work/quarvex_${version}_$arch.deb" ]] || fail "package named $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == quarvex ]] || fail "Package: $(field Package)"
[[ $(field Version) == "$version" ]] || fail "Version: $(field Version), not $version"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture)"
# dpkg-shlibdeps found the libraries both programs link, with versions; the Qt platform plugin
# (loaded at run time, so invisible to it) is named by hand.
depends=$(field Depends)
for dep in 'libc6 (>= ' 'libstdc++6 (>= ' 'libqt6core6 (>= ' 'libqt6widgets6 (>= ' qt6-qpa-plugins; do
    [[ ", $depends," == *", $dep"* ]] || fail "Depends lacks $dep: $depends"
done

# Exactly these files, nothing else.
expected=$(sort <<EOF2
./usr/bin/quarvex
./usr/bin/quarvex-find
./usr/lib/quarvex/quarvex
./usr/lib/quarvex/skinh.she
./usr/share/applications/quarvex.desktop
./usr/share/bash-completion/completions/quarvex-find
./usr/share/doc/quarvex/changelog.gz
./usr/share/doc/quarvex/copyright
./usr/share/icons/hicolor/16x16/apps/quarvex.png
./usr/share/icons/hicolor/24x24/apps/quarvex.png
./usr/share/icons/hicolor/32x32/apps/quarvex.png
./usr/share/icons/hicolor/48x48/apps/quarvex.png
./usr/share/man/man1/quarvex-find.1.gz
./usr/share/man/man1/quarvex.1.gz
./usr/share/fish/vendor_completions.d/quarvex-find.fish
./usr/share/zsh/vendor-completions/_quarvex-find
EOF2
)
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[[ $actual == "$expected" ]] || fail "files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"

# Installed into a scratch root, the console twin runs and finds the skin beside the window.
scratch=$work/root
dpkg -x "$deb" "$scratch" || fail "dpkg -x"
bin=$scratch/usr/bin
out=$("$bin/quarvex-find" --version 2>&1)
[[ $out == "quarvex-find $version" ]] || fail "quarvex-find --version printed: $out"
lib=$scratch/usr/lib/quarvex
out=$("$bin/quarvex-find" 'skinh.she' "$lib" 2>/dev/null)
[[ $out == "$lib/skinh.she ----- 749 Bytes" ]] || fail "search of the installed folder printed: $out"
cmp -s "$lib/skinh.she" "$root/resources/skinh.she" || fail "the skin differs from resources/skinh.she"
[[ $(readlink -f "$bin/quarvex") == "$lib/quarvex" ]] || fail "bin/quarvex leads elsewhere"
for exe in quarvex quarvex-find; do
    file -bL "$bin/$exe" | grep -q ', stripped' || fail "$exe is not stripped: $(file -bL "$bin/$exe")"
done
icon=$(sed -n 's/^Icon=//p' "$scratch/usr/share/applications/quarvex.desktop")
exec=$(sed -n 's/^Exec=//p' "$scratch/usr/share/applications/quarvex.desktop")
[[ -f $scratch/usr/share/icons/hicolor/48x48/apps/$icon.png ]] || fail "no icon for Icon=$icon"
[[ -x $bin/${exec%% *} ]] || fail "no program for Exec=$exec"

# The bash completion in a plain bash: registered for quarvex-find, it completes options, and for
# ROOTS (after an option's value and PATTERN) the entries of --drives, as the program prints them.
completion=$scratch/usr/share/bash-completion/completions/quarvex-find
out=$(bash --norc -c 'source "$1" && complete -p quarvex-find' _ "$completion" 2>&1)
[[ $out == "complete -F _quarvex_find quarvex-find" ]] || fail "complete -p printed: $out"
# COMPREPLY for a command line whose last word is the one being completed, as bash asks for it.
completed() {
    bash --norc -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
        _quarvex_find "$1" "${!#}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}
out=$(completed quarvex-find -0 --sh)
[[ $out == --show-errors ]] || fail "bash completes --sh as: $out"
drives=$("$bin/quarvex-find" --drives | cut -c3-)
out=$(cd "$work" && completed "$bin/quarvex-find" -j 2 '*.txt' '')
[[ $(head -n "$(wc -l <<<"$drives")" <<<"$out") == "$drives" ]] ||
    fail "bash offers for ROOTS:"$'\n'"$out"$'\n'"not first the drives:"$'\n'"$drives"

out=$(desktop-file-validate "$scratch/usr/share/applications/quarvex.desktop" 2>&1) ||
    fail "desktop-file-validate: $out"
for page in "$scratch"/usr/share/man/man1/*.gz; do
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [[ -z $out ]] || fail "$(basename "$page"): $out"
done

# Errors fail; warnings and notes are shown.
lintian --fail-on error --display-info "$deb" 2>&1 | grep -v 'running with root privileges'
[[ ${PIPESTATUS[0]} -eq 0 ]] || fail "lintian reports errors"

[[ $status -eq 0 ]] && echo "$(basename "$deb"): $(echo "$actual" | wc -l) files, Depends: $depends"
exit $status

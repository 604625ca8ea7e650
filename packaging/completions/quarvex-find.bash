# bash completion for quarvex-find: its options, and for ROOTS the drives it offers
# (quarvex-find --drives) and folders. Needs nothing of the bash-completion package.

_quarvex_find() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
    -j | --threads)
        mapfile -t COMPREPLY < <(compgen -W "1 2 4 8 16 32 64" -- "$cur")
        return
        ;;
    esac

    # Operands before the word at hand: after PATTERN comes ROOTS; with --queries, ROOTS alone.
    local i word operands=0 ended= roots=1
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $ended ]]; then
            case $word in
            --)
                ended=1
                continue
                ;;
            -j | --threads)
                i=$((i + 1))
                continue
                ;;
            --queries)
                roots=0
                continue
                ;;
            -?*) continue ;;
            esac
        fi
        operands=$((operands + 1))
    done

    if [[ -z $ended && $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "-0 --null -j --threads --show-errors --queries
            --drives --help --version --" -- "$cur")
    elif ((operands == roots)); then
        # Entries as the program prints them, after the two columns of its "* " mark; a name
        # with spaces stays one word.
        local entry
        while IFS= read -r entry; do
            entry=${entry:2}
            [[ $entry == "$cur"* ]] && COMPREPLY+=("$entry")
        done < <("$1" --drives 2>/dev/null)
        mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -d -- "$cur")
        # Quotes what needs it and marks folders with "/".
        compopt -o filenames 2>/dev/null
    fi
    return 0
}
complete -F _quarvex_find quarvex-find

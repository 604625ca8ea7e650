# fish completion for quarvex-find: its options, and for ROOTS the drives it offers
# (quarvex-find --drives) and folders.

# Whether the token at hand is ROOTS: the operand after PATTERN, or with --queries the first.
function __quarvex_find_at_roots
    set -l count 0
    set -l roots 1
    set -l skip 0
    set -l ended 0
    for token in (commandline -opc)[2..-1]
        if test $skip -eq 1
            set skip 0
            continue
        end
        if test $ended -eq 0
            switch $token
                case --
                    set ended 1
                    continue
                case -j --threads
                    set skip 1
                    continue
                case --queries
                    set roots 0
                    continue
                case '-?*'
                    continue
            end
        end
        set count (math $count + 1)
    end
    test $count -eq $roots
end

# The drives without the two-column mark ("* " for the preselected one).
function __quarvex_find_drives
    set -l program (commandline -opc)[1]
    command $program --drives 2>/dev/null | string sub --start 3 | string replace -r '$' '\tDrive'
end

complete -c quarvex-find -f
complete -c quarvex-find -s 0 -l null -d 'End each result with a NUL character'
complete -c quarvex-find -s j -l threads -x -a '1 2 4 8 16 32 64' -d 'Walk with N threads'
complete -c quarvex-find -l show-errors -d 'Show the folders that could not be read or entered'
complete -c quarvex-find -l queries -d 'Answer patterns read from standard input, one a line'
complete -c quarvex-find -l drives -d 'List the drives the window offers'
complete -c quarvex-find -s h -l help -d 'Print a short usage text'
complete -c quarvex-find -l version -d 'Print the version'
complete -c quarvex-find -n __quarvex_find_at_roots \
    -a '(__quarvex_find_drives) (__fish_complete_directories (commandline -ct))'

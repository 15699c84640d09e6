# bash completion for nimbrovator: the options, then the town names of the town cache
# (from "nimbrovator --towns"). Names with spaces and Polish letters complete as one word.

_nimbrovator()
{
    local cur prev words cword
    _init_completion || return

    if [[ $prev == --color ]]; then
        COMPREPLY=($(compgen -W "auto always never" -- "$cur"))
        return
    fi

    # The leading "--" options; the town comes after them.
    local i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --config | --check | --towns | --help | --version | -s | -h) return ;;
            --max-age | --stale-limit | --every | --exec | --clear-after | --cooldown | \
                --format | --color)
                ((i++)) ;; # its value follows
            --*) ;;
            *) break ;;
        esac
    done
    # Past the town nothing is offered, nor for an option's value.
    ((cword == i)) || return
    case $prev in
        --max-age | --stale-limit | --every | --exec | --clear-after | --cooldown | --format) return ;;
    esac

    if [[ $cur == -* ]]; then
        local options="--json --line --waybar --format --max-age --stale-limit --watch --every"
        options+=" --notify --exec --clear-after --cooldown --color --config --check --towns"
        options+=" --help --version"
        ((cword == 1)) && options+=" -s -h"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # The word as the shell will read it: quotes and backslashes removed, an open quote closed.
    local typed
    typed=$(dequote "$cur")
    if [[ -z $typed && $cur == [\"\']* ]]; then
        typed=$(dequote "$cur${cur:0:1}")
    fi
    local program town
    program=$(dequote "${words[0]}")
    COMPREPLY=()
    while IFS= read -r town; do
        [[ $town == "$typed"* ]] && COMPREPLY+=("$town")
    done < <("$program" --towns 2>/dev/null)
    # Readline then quotes the chosen name as it does file names (spaces escaped).
    compopt -o filenames 2>/dev/null
}
complete -F _nimbrovator nimbrovator

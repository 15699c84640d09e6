# bash completion for nimbrovator: the options, then the town names of the town cache
# (from "nimbrovator --towns"). Names with spaces and Polish letters complete as one word.

# The word as the shell will read it, in _nimbrovator_word, without running or expanding
# anything in it: backslashes and quotes removed, an open quote closed; $(...), `...` and $name
# stay as typed.
_nimbrovator_unquote()
{
    local word=$1 quote= c i
    _nimbrovator_word=
    for ((i = 0; i < ${#word}; i++)); do
        c=${word:i:1}
        if [[ $quote == "'" ]]; then
            [[ $c == "'" ]] && quote= || _nimbrovator_word+=$c
        elif [[ $c == \\ ]]; then
            ((i++))
            c=${word:i:1}
            # Within double quotes a backslash escapes only $, `, " and itself.
            if [[ $quote == '"' && $c != [\$\`\"\\] ]]; then
                _nimbrovator_word+=\\
            fi
            _nimbrovator_word+=$c
        elif [[ $c == '"' ]]; then
            [[ $quote == '"' ]] && quote= || quote='"'
        elif [[ $c == "'" && -z $quote ]]; then
            quote="'"
        else
            _nimbrovator_word+=$c
        fi
    done
}

_nimbrovator()
{
    local cur prev words cword
    _init_completion || return

    if [[ $prev == --color ]]; then
        COMPREPLY=($(compgen -W "auto always never" -- "$cur"))
        return
    fi
    if [[ $prev == --escape ]]; then
        COMPREPLY=($(compgen -W "pango polybar tmux" -- "$cur"))
        return
    fi
    if [[ $prev == --place ]]; then
        # The places of the configuration file, as --config lists them.
        local place program _nimbrovator_word
        _nimbrovator_unquote "${words[0]}"
        program=$_nimbrovator_word
        [[ $program == \~/* ]] && program=$HOME/${program#\~/}
        [[ $program == */* && ! (-f $program && -x $program) ]] && return
        COMPREPLY=()
        while IFS= read -r place; do
            [[ $place == "[place "*"]  # "* ]] || continue
            place=${place#"[place "}
            place=${place%"]  # "*}
            [[ $place == "$cur"* ]] && COMPREPLY+=("$place")
        done < <("$program" --config 2>/dev/null)
        compopt -o filenames 2>/dev/null
        return
    fi

    # The leading "--" options; the town comes after them.
    local i
    for ((i = 1; i < cword; i++)); do
        case ${words[i]} in
            --config | --check | --towns | --help | --help-all | --version | -s | -h) return ;;
            --max-age | --stale-limit | --every | --exec | --clear-after | --cooldown | --mqtt | \
                --near | --name | --danger-km | --svg | --format | --color | --timeout | --checks | \
                --place | --escape)
                ((i++)) ;; # its value follows
            --*) ;;
            *) break ;;
        esac
    done
    # Past the town nothing is offered, nor for an option's value.
    ((cword == i)) || return
    case $prev in
        --max-age | --stale-limit | --every | --exec | --clear-after | --cooldown | --mqtt | \
            --near | --name | --danger-km | --format | --timeout | --checks)
            return ;;
        --svg)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        local options="--json --line --waybar --i3blocks --format --escape --max-age --stale-limit"
        options+=" --watch"
        options+=" --every --checks --notify --exec --alerts-to-stderr --clear-after --cooldown"
        options+=" --color --mqtt --config --check --towns --near --name --help --help-all"
        options+=" --version --danger-km --approaching-only --history --svg --timeout"
        options+=" --place --all-places"
        ((cword == 1)) && options+=" -s -h"
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi

    # The typed words are read, never evaluated (dequote would run what they hold).
    local typed program town _nimbrovator_word
    _nimbrovator_unquote "$cur"
    typed=$_nimbrovator_word
    _nimbrovator_unquote "${words[0]}"
    program=$_nimbrovator_word
    [[ $program == \~/* ]] && program=$HOME/${program#\~/}
    # A path names the program itself; a plain name is looked up in PATH.
    if [[ $program == */* && ! ( -f $program && -x $program ) ]]; then
        return
    fi
    COMPREPLY=()
    while IFS= read -r town; do
        [[ $town == "$typed"* ]] && COMPREPLY+=("$town")
    done < <("$program" --towns 2>/dev/null)
    # Readline then quotes the chosen name as it does file names (spaces escaped).
    compopt -o filenames 2>/dev/null
}
complete -F _nimbrovator nimbrovator

#!/usr/bin/env bash
# Drives the bash completion function as bash does for a command line and prints each
# completion offered in brackets: drive_completion.sh COMPLETION_FILE WORD... (the last word
# is the one being completed).
source /usr/share/bash-completion/bash_completion
source "$1"
shift
COMP_WORDS=("$@")
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
COMP_LINE="${COMP_WORDS[*]}"
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
_nimbrovator "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '[%s]\n' "${COMPREPLY[@]}"

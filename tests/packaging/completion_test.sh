#!/usr/bin/env bash
# The bash completion as bash runs it: each row is the words typed so far (the
# last one being completed) and the candidates expected, in order.
set -u
source "$1" || exit 1

failures=0
check() {
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(( $# - 1 ))
    COMPREPLY=()
    _kest_core
    local got="${COMPREPLY[*]}"
    if [[ "$got" != "$expected" ]]; then
        echo "completing [$*]: expected [$expected], got [$got]" >&2
        failures=$((failures + 1))
    fi
}

# The first word: the modes' options or a method.
check "--version --daemon" kest-core --
check "--daemon" kest-core --d
check "ping" kest-core pi
check "menu_click menu_list menubar" kest-core menu
check "kv_get kv_set" kest-core kv_
# After a method: its keys, those already given left out, the current word
# itself still offered.
check "--name --ref --wait --background" kest-core launch ""
check "--name --ref --background" kest-core launch --wait --
check "--ref" kest-core click --ref
check "--right" kest-core click --ref @b1 --ri
check "" kest-core ping --
# The value of a key: a fixed choice where there is one, nothing otherwise.
check "png jpeg" kest-core screenshot --format ""
check "up down left right" kest-core scroll --direction ""
check "checked" kest-core is --state ch
check "" kest-core launch --name ""
check "" kest-core menu_click --path ""
# Positional words are not keys; an unknown method or a mode completes nothing.
check "" kest-core launch mou
check "" kest-core nosuch --
check "" kest-core --daemon --

# File names for the paths of files only.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
touch "$dir/shot.png"
check "$dir/shot.png" kest-core screenshot --path "$dir/sh"
check "$dir/shot.png" kest-core dialog_file --path "$dir/sh"

(( failures == 0 )) && echo "completion: all rows pass"
(( failures == 0 ))

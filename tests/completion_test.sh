#!/bin/sh
# SPDX-License-Identifier: MIT
# The bash completions offer the tools' options, and .vcd files and folders after -f.
#   completion_test.sh COMPLETIONS_DIR
exec bash -c '
set -u
dir=$1
. "$dir/teruna"
. "$dir/teruna-sniff"
scratch=$(mktemp -d)
trap "rm -rf $scratch" EXIT
cd "$scratch" && mkdir captures && touch press.vcd notes.txt
failed=0
complete_line() {  # expected, then the words; the last word is the one being completed
    local expected=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    "$(complete -p "$1" | sed "s/.*-F \([^ ]*\) .*/\1/")"
    local got=""
    if [ ${#COMPREPLY[@]} -gt 0 ]; then got=$(printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "); fi
    if [ "$got" = "$expected" ]; then echo "ok   $*"; else echo "FAIL $*: got [$got], expected [$expected]"; failed=1; fi
}
complete_line "-g -h -n -p " teruna -
complete_line "" teruna -p ""
complete_line "-F -c -f -h -p -t -v " teruna-sniff -
complete_line "captures press.vcd " teruna-sniff -f ""
complete_line "json " teruna-sniff -F j
exit $failed
' completion_test "$1"

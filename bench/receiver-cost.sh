#!/bin/sh
# SPDX-License-Identifier: MIT
# The receiver's cost per edge: teruna-sniff's instructions, whole program, reading a minute of
# a receiver's noise, and 20 presses among noise as sent and as a receiver distorts them, counted
# by valgrind (repeatable whatever else the machine does). Fails when any input costs more than
# LIMIT instructions per edge (default 1000), or when it cannot be counted.
#   receiver-cost.sh BUILD_DIR [LIMIT]
set -eu
build=${1:-build}
limit=${2:-1000}
command -v valgrind >/dev/null || { echo "receiver cost: cannot be counted: valgrind is not installed" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$build/receiver-inputs" "$scratch" >/dev/null
over=
for input in noise clean distorted; do
    file=$scratch/$input.vcd
    edges=$(grep -c '^[01]!$' "$file")
    valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null \
        "$build/teruna-sniff" -f "$file" >"$scratch/out" 2>"$scratch/err" || true
    instructions=$(sed -n 's/.*I *refs: *//p' "$scratch/err" | tr -d ',')
    case $instructions in
    '' | *[!0-9]*)
        echo "receiver cost: valgrind counted no instructions for $input: $(tail -n 1 "$scratch/err")" >&2
        exit 1
        ;;
    esac
    presses=$(wc -l <"$scratch/out")
    perEdge=$((instructions / edges))
    printf 'Receiver cost, %-9s %8d edges: %5d instructions per edge, %2d presses decoded\n' \
        "$input:" "$edges" "$perEdge" "$presses"
    [ "$perEdge" -le "$limit" ] || over="$over $input ($perEdge)"
done
if [ -n "$over" ]; then
    echo "receiver cost: above $limit instructions per edge:$over" >&2
    exit 1
fi

#!/bin/sh
# SPDX-License-Identifier: MIT
# The receiver's cost per edge: teruna-sniff's instructions, whole program, reading a minute of
# a receiver's noise, and 20 presses among noise as sent and as a receiver distorts them, counted
# by valgrind (repeatable whatever else the machine does). Usage: receiver-cost.sh BUILD_DIR
set -eu
build=${1:-build}
command -v valgrind >/dev/null || { echo "receiver cost: not measured, valgrind is not installed"; exit 0; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$build/receiver-inputs" "$scratch" >/dev/null
for input in noise clean distorted; do
    file=$scratch/$input.vcd
    edges=$(grep -c '^[01]!$' "$file")
    valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null \
        "$build/teruna-sniff" -f "$file" >"$scratch/out" 2>"$scratch/err" || true
    instructions=$(sed -n 's/.*I *refs: *//p' "$scratch/err" | tr -d ',')
    presses=$(wc -l <"$scratch/out")
    printf 'Receiver cost, %-9s %8d edges: %5d instructions per edge, %2d presses decoded\n' \
        "$input:" "$edges" $((instructions / edges)) "$presses"
done

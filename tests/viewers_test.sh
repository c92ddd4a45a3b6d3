#!/bin/sh
# SPDX-License-Identifier: MIT
# Reads a recording with sigrok and with GTKWave's converter, as users' viewers do, and
# checks that both see exactly the level changes the tool wrote.
set -eu
teruna=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

TERUNA_SIM_CLOCK=virtual TERUNA_SIM_VCD="$dir/press.vcd" "$teruna" -g 6400 -n 3 >/dev/null

# One "time level" line per change of wire '!', times in microseconds. Several changes
# at one instant (the virtual clock's zero-width pulses) count as the last of them.
changes() {
    tr ' ' '\n' | awk -v scale="$1" '
        function settle() { if (pending != "" && pending != shown) { print t, pending; shown = pending } }
        /^#[0-9]+$/ { settle(); t = substr($0, 2) / scale; pending = "" }
        /^[01]!$/   { pending = substr($0, 1, 1) }
        END         { settle() }'
}

changes 1000 <"$dir/press.vcd" >"$dir/ours"
[ "$(wc -l <"$dir/ours")" -gt 1000 ] || { echo "too few level changes in the recording"; exit 1; }

if command -v sigrok-cli >/dev/null; then
    sigrok-cli -I vcd:downsample=1000 -i "$dir/press.vcd" -O vcd | changes 1 >"$dir/sigrok"
    diff -q "$dir/ours" "$dir/sigrok" >/dev/null || { echo "sigrok reads other levels"; diff "$dir/ours" "$dir/sigrok" | head; exit 1; }
    echo "sigrok: same $(wc -l <"$dir/ours") level changes"
fi
if command -v vcd2fst >/dev/null && command -v fst2vcd >/dev/null; then
    vcd2fst "$dir/press.vcd" "$dir/press.fst" >/dev/null
    fst2vcd "$dir/press.fst" 2>/dev/null | changes 1000 >"$dir/gtkwave"
    diff -q "$dir/ours" "$dir/gtkwave" >/dev/null || { echo "GTKWave reads other levels"; diff "$dir/ours" "$dir/gtkwave" | head; exit 1; }
    echo "GTKWave: same $(wc -l <"$dir/ours") level changes"
fi

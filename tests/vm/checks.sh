# SPDX-License-Identifier: MIT
# shellcheck shell=bash
# Shared by the emulated-machine scripts, sourced: the verdicts on what a guest reported, the
# level changes a press makes on the simulated pins, and a machine that cannot power off.
# The sourcing script sets host_tool (a host build of teruna on the simulated pins) and here
# (the folder of these scripts and the guest's init).
passed=0
failed=0
pack_initrd() {  # root folder, initrd: the guest's init, busybox's applets linked at its start
    {
        echo '#!/bin/busybox sh'
        echo '/bin/busybox --install -s /bin'
        tail -n +2 "$here/init"
    } >"$1/init"
    chmod +x "$1/init"
    (cd "$1" && find . | cpio -o -H newc --quiet | gzip -1) >"$2"
}
verdict() {  # name, ok|fail, detail
    if [ "$2" = ok ]; then
        passed=$((passed + 1))
        echo "ok   $1"
    else
        failed=$((failed + 1))
        echo "FAIL $1 ${3:-}"
    fi
}
read_checks() {  # console log, machine
    local failed_before=$failed
    while read -r _ name result detail; do
        verdict "$2/$name" "${result%:}" "$detail"
    done < <(grep -a '^TERUNA-CHECK ' "$1" | tr -d '\r')
    { grep -a '^TERUNA-INFO ' "$1" || true; } | tr -d '\r' | sed "s|^TERUNA-INFO|     $2:|"
    grep -aq '^TERUNA-VM-DONE' "$1" && verdict "$2/ran_to_the_end" ok || verdict "$2/ran_to_the_end" fail
    if [ "$failed" -gt "$failed_before" ]; then
        echo "---- what $2 printed (last 80 lines)"
        tail -n 80 "$1" | tr -d '\r'
        echo "----"
    fi
}

# The level changes of a press on the simulated pins.
expected_changes() {  # the tool's arguments
    # shellcheck disable=SC2154 # set by the sourcing script
    TERUNA_SIM_CLOCK=virtual TERUNA_SIM_LOG=press.log "$host_tool" "$@" >/dev/null
    awk 'BEGIN { level = 0 } $2 == "digitalWrite" { v = ($4 != 0); if (v != level) { print v; level = v } }' press.log
}

# Runs an emulator whose machine cannot power off until the guest says it is done, or
# gives up after that many seconds.
until_done() {  # seconds, console log, the emulator's command line
    local seconds=$1 log=$2 emulator
    shift 2
    "$@" </dev/null >"$log" 2>&1 &
    emulator=$!
    for _ in $(seq "$seconds"); do
        grep -aq '^TERUNA-VM-DONE' "$log" && break
        kill -0 $emulator 2>/dev/null || break
        sleep 1
    done
    kill $emulator 2>/dev/null || true
    wait $emulator 2>/dev/null || true
}

#!/bin/bash
# SPDX-License-Identifier: MIT
# The gateway's resident size on the simulated pins (virtual clock), each press recorded to a
# call log and a VCD, after 10 requests and after N, against a mosquitto of its own on
# 127.0.0.1.   usage: bench/gateway-memory.sh [GATEWAY] [N]
set -eu
gateway=$(realpath "${1:-build/teruna-mqtt}")
presses=${2:-200}
dir=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
cd "$dir"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$port" > broker.conf
mosquitto -c broker.conf 2>/dev/null &
sleep 0.3
printf 'broker = mqtt://127.0.0.1:%s\nnode = memory\n' "$port" > mqtt.conf
TERUNA_SIM_CLOCK=virtual TERUNA_SIM_LOG="$dir/log" TERUNA_SIM_VCD="$dir/vcd" "$gateway" -c mqtt.conf 2>err &
pid=$!
mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -t teruna/memory/sent > sent &
sleep 1
resident() { grep -E "^$1:" "/proc/$pid/status" | tr -s ' \t' ' '; }
waitFor() { while [ "$(wc -l < sent)" -lt "$1" ]; do sleep 0.1; done; }
for i in $(seq 1 "$presses"); do
    mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t teruna/memory/send -m "{\"remote\":6400,\"button\":$((i % 4))}"
    if [ "$i" = 10 ]; then
        waitFor 10
        echo "after 10 presses: $(resident VmRSS)"
    fi
done
waitFor "$presses"
echo "after $presses presses: $(resident VmRSS), peak $(resident VmHWM)"

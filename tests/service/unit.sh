#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# teruna-mqtt's systemd unit, with the gateway BUILD_DIR/teruna-mqtt (on the simulated pins):
# systemd-analyze accepts it without a warning and rates its exposure at 2.0 or less; its
# limits give the press its priority and the gateway's memory its lock with no capability; and
# every system call the gateway makes through a press sent, one heard, a reload and a stop
# passes its SystemCallFilter=. Needs systemd, mosquitto, strace and setpriv (util-linux).
#   tests/service/unit.sh BUILD_DIR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
top=$(cd "$here/../.." && pwd)
build=$(realpath "${1:?usage: unit.sh BUILD_DIR}")

# A unit's setting, the last line that gives it: unit_value FILE KEY
unit_value() { sed -n "s/^$2=//p" "$1" | tail -n 1; }

# The service's priority and memory lock come from the unit's limits alone, with no
# capability: SCHED_RR at teruna's priority for an unprivileged user under LimitRTPRIO=, and
# the gateway's address space (what mlockall counts) under LimitMEMLOCK=.
unit_limits() {
    local unit=$1 rtprio priority memlock gateway threads size
    local unprivileged=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    rtprio=$(unit_value "$unit" LimitRTPRIO)
    priority=$(sed -n 's/.*kPriority = \([0-9]*\);.*/\1/p' "$top/tx/TerunaTx.h")
    [ -n "$priority" ] && [ "${rtprio:-0}" -ge "$priority" ] ||
        fail "LimitRTPRIO=$rtprio does not reach teruna's priority ${priority:-(not found)}"
    if prlimit --rtprio=0 "${unprivileged[@]}" chrt -r "$priority" true 2>/dev/null; then
        fail "an unprivileged user gets SCHED_RR $priority without LimitRTPRIO"
    fi
    if prlimit --rtprio="$rtprio" true 2>/dev/null; then
        prlimit --rtprio="$rtprio" "${unprivileged[@]}" chrt -r "$priority" true ||
            fail "an unprivileged user under LimitRTPRIO=$rtprio does not get SCHED_RR $priority"
        echo "SCHED_RR $priority: refused to an unprivileged user, granted under LimitRTPRIO=$rtprio"
    else
        echo "SCHED_RR $priority: refused to an unprivileged user; granting it under LimitRTPRIO=$rtprio is not" \
            "tried, as this machine may not raise RLIMIT_RTPRIO (no CAP_SYS_RESOURCE)"
    fi
    memlock=$(numfmt --from=iec "$(unit_value "$unit" LimitMEMLOCK)")
    mkfifo "$scratch/limits.fifo"
    printf 'broker = mqtt://127.0.0.1:1\nreceive_from = %s\n' "$scratch/limits.fifo" > "$scratch/limits.conf"
    # All four threads: main, client, sender, listener.
    TERUNA_SIM_CLOCK=virtual "$build/teruna-mqtt" -c "$scratch/limits.conf" \
        2>/dev/null &
    gateway=$!
    background+=("$gateway")
    threads=0
    for _ in $(seq 50); do
        threads=$(awk '/^Threads:/ { print $2 }' "/proc/$gateway/status")
        [ "$threads" -lt 4 ] || break
        sleep 0.1
    done
    size=$(awk '/^VmSize:/ { print $2 * 1024 }' "/proc/$gateway/status")
    kill "$gateway"
    wait "$gateway" || fail "the gateway measured for LimitMEMLOCK did not stop with status 0"
    [ "$threads" -ge 4 ] || fail "the gateway measured for LimitMEMLOCK runs $threads threads, not 4"
    [ "$size" -le "$memlock" ] || fail "the gateway's $size bytes of address space exceed LimitMEMLOCK ($memlock)"
    echo "memory lock: $((size / 1048576)) MiB of address space within LimitMEMLOCK=$((memlock / 1048576)) MiB"
}

# The system calls in a syscall-filter set, its nested sets expanded: filter_calls @SET...
filter_calls() {
    local name
    for name in $(systemd-analyze syscall-filter --no-pager "$@" | awk 'NF == 1 && !/^[@#]/ { print $1 }'); do
        case $name in
        @*) filter_calls "$name" ;;
        *) echo "$name" ;;
        esac
    done
}

# Every system call the gateway makes through a press sent, one heard, a reload and a stop
# passes the unit's SystemCallFilter= (its sets allowed, then its ~sets denied).
unit_system_calls() {
    local unit=$1 port broker gateway tracer allowed denied calls outside status
    allowed=$(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$unit" | tr '\n' ' ')
    denied=$(sed -n 's/^SystemCallFilter=~//p' "$unit" | tr '\n' ' ')
    [ -n "$allowed" ] && [ -n "$denied" ] || fail "the unit has no SystemCallFilter= to allow and deny with"
    # shellcheck disable=SC2086 # the sets, one word each
    filter_calls $allowed | sort -u > "$scratch/allowed"
    # shellcheck disable=SC2086
    filter_calls $denied | sort -u > "$scratch/denied"
    grep -qx read "$scratch/allowed" && grep -qx setuid "$scratch/denied" ||
        fail "systemd-analyze syscall-filter did not list the unit's sets"
    port=$(free_port)
    mosquitto -p "$port" >/dev/null 2>&1 &
    broker=$!
    background+=("$broker")
    await_port "$port"
    mkfifo "$scratch/calls.fifo"
    printf 'broker = mqtt://127.0.0.1:%s\nnode = calls\nreceive_from = %s\n' "$port" "$scratch/calls.fifo" \
        > "$scratch/calls.conf"
    # The real clock, so that the press asks for real-time priority and locks memory.
    env $(unit_value "$unit" Environment) TERUNA_SIM_LOG="$scratch/calls-sim.log" \
        strace -f -c -o "$scratch/calls.txt" "$build/teruna-mqtt" -c "$scratch/calls.conf" 2>"$scratch/calls.err" &
    tracer=$!
    background+=("$tracer")
    sleep 1.5
    mosquitto_pub -p "$port" -t teruna/calls/send -q 1 -m '{"remote": 6400, "button": 3}'
    TERUNA_SIM_VCD="$scratch/calls-press.vcd" TERUNA_SIM_CLOCK=virtual "$build/teruna" -g 6400 -n 4 >/dev/null
    cat "$scratch/calls-press.vcd" > "$scratch/calls.fifo"
    sleep 3
    gateway=$(pgrep -P "$tracer")
    kill -HUP "$gateway"
    sleep 0.5
    kill "$gateway"
    status=0
    wait "$tracer" || status=$?
    kill "$broker"
    [ "$status" -eq 0 ] || fail "the traced gateway ended with status $status: $(cat "$scratch/calls.err")"
    grep -q 'piHiPri 90' "$scratch/calls-sim.log" || fail "the traced gateway sent no press"
    calls=$(awk '$NF ~ /^[a-z0-9_]+$/ && $NF != "total" && $NF != "syscall" { print $NF }' "$scratch/calls.txt" |
        sort -u)
    outside=$(comm -23 <(echo "$calls") "$scratch/allowed")
    [ -z "$outside" ] || fail "the gateway makes calls SystemCallFilter= does not allow: $outside"
    outside=$(comm -12 <(echo "$calls") "$scratch/denied")
    [ -z "$outside" ] || fail "the gateway makes calls SystemCallFilter= denies: $outside"
    echo "system calls: the gateway's $(wc -l <<<"$calls") all pass SystemCallFilter="
}

unit=$scratch/teruna-mqtt.service
sed "s|^ExecStart=teruna-mqtt|ExecStart=$build/teruna-mqtt|" "$top/mqtt/teruna-mqtt.service" >"$unit"
verdict=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify refuses the unit: $verdict"
[ -z "$verdict" ] || fail "systemd-analyze verify warns about the unit: $verdict"
echo "systemd-analyze verify: no warning"
systemd-analyze security --offline=true --no-pager "$unit" | grep 'Overall exposure'
# The threshold is in tenths: above 2.0, the command fails.
systemd-analyze security --offline=true --threshold=20 "$unit" >/dev/null ||
    fail "the unit's exposure is above 2.0: systemd-analyze security --offline=true mqtt/teruna-mqtt.service"
unit_limits "$unit"
unit_system_calls "$unit"

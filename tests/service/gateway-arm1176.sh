#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The armhf gateway on the Pi 1's ARM1176 (qemu-arm -cpu arm1176), against mosquitto on
# 127.0.0.1: the packaged teruna-mqtt starts and says why it cannot run without a GPIO chip; the
# build's gateway on the simulated pins (the same static libmosquitto and OpenSSL, linked the
# same way) sends a request and publishes a press it hears, over plain MQTT and over TLS with a
# CA of the test's own, and says why it cannot connect when the broker's certificate is not
# that CA's. HOST_BUILD_DIR's teruna and teruna-sniff make and read the presses.
#   tests/service/gateway-arm1176.sh ARMHF_BUILD_DIR HOST_BUILD_DIR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
build=$(realpath "${1:?usage: gateway-arm1176.sh ARMHF_BUILD_DIR HOST_BUILD_DIR}")
host=$(realpath "${2:?usage: gateway-arm1176.sh ARMHF_BUILD_DIR HOST_BUILD_DIR}")

# One gateway run under qemu on the ARM1176: gateway_round NAME BINARY BROKER-URL [CONFIG LINE...].
# A request on BASE/send must come back on BASE/sent, and a press written into its FIFO on
# BASE/received. The broker's plain listener at $plain_port serves the checking clients.
gateway_round() {
    local name=$1 binary=$2 url=$3
    shift 3
    local dir=$scratch/round-$name base=arm1176/$name pid
    mkdir -p "$dir"
    mkfifo "$dir/fifo"
    printf '%s\n' "broker = $url" "node = arm1176-$name" "topic = $base" "receive_from = $dir/fifo" \
        "discovery_prefix = none" "$@" > "$dir/mqtt.conf"
    mosquitto_sub -h 127.0.0.1 -p "$plain_port" -t "$base/status" -C 1 -W 60 > "$dir/status.txt" &
    local status_pid=$!
    background+=("$status_pid")
    TERUNA_SIM_VCD="$dir/sent.vcd" TERUNA_SIM_CLOCK=virtual qemu-arm -cpu arm1176 "$binary" -c "$dir/mqtt.conf" \
        2> "$dir/gateway.err" &
    pid=$!
    background+=("$pid")
    wait "$status_pid" || fail "the $name gateway did not say its status: $(cat "$dir/gateway.err")"
    grep -qx online "$dir/status.txt" || fail "the $name gateway's status is '$(cat "$dir/status.txt")', not online"

    mosquitto_sub -h 127.0.0.1 -p "$plain_port" -t "$base/sent" -C 1 -W 60 > "$dir/sent.txt" &
    local sent_pid=$!
    background+=("$sent_pid")
    sleep 1
    mosquitto_pub -h 127.0.0.1 -p "$plain_port" -t "$base/send" -m '{"remote": 6400, "button": 3, "id": "arm1176"}' ||
        fail "cannot publish the $name request"
    wait "$sent_pid" || fail "the $name gateway did not publish on $base/sent: $(cat "$dir/gateway.err")"
    if ! grep -q '"remote":6400' "$dir/sent.txt" || ! grep -q '"id":"arm1176"' "$dir/sent.txt"; then
        fail "the $name gateway's $base/sent says: $(cat "$dir/sent.txt")"
    fi

    mosquitto_sub -h 127.0.0.1 -p "$plain_port" -t "$base/received" -C 1 -W 60 > "$dir/received.txt" &
    local received_pid=$!
    background+=("$received_pid")
    sleep 1
    # shellcheck disable=SC2016 # the inner shell expands them
    timeout 60 sh -c 'cat "$1" > "$2"' sh "$scratch/heard.vcd" "$dir/fifo" || fail "the $name gateway does not read its FIFO"
    wait "$received_pid" || fail "the $name gateway did not publish on $base/received: $(cat "$dir/gateway.err")"
    if ! grep -q '"remote":17' "$dir/received.txt" || ! grep -q '"button":5' "$dir/received.txt"; then
        fail "the $name gateway's $base/received says: $(cat "$dir/received.txt")"
    fi
    kill "$pid"
    wait "$pid" || fail "the $name gateway did not end cleanly on SIGTERM: $(cat "$dir/gateway.err")"
    # The simulated pins' dump is whole once the gateway has ended.
    "$host/teruna-sniff" -f "$dir/sent.vcd" | grep -x 'remote 6400 button 3' >/dev/null ||
        fail "the $name gateway did not put the press on its pin"
    echo "$name: $base/send sent, a press heard published on $base/received"
}

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(deb_of "$build" armhf)

dpkg-deb --extract "$deb" "$scratch/gateway-deb"
packaged=$scratch/gateway-deb/usr/bin/teruna-mqtt
# The packaged gateway starts on the ARM1176, and needs a GPIO chip, which qemu-user has not.
qemu-arm -cpu arm1176 "$packaged" -h | grep 'teruna-mqtt' >/dev/null || fail "the packaged armhf teruna-mqtt -h says nothing"
printf 'broker = mqtt://127.0.0.1:1\nnode = arm1176\n' > "$scratch/nochip.conf"
status=0
TERUNA_GPIOCHIP=/nonexistent qemu-arm -cpu arm1176 "$packaged" -c "$scratch/nochip.conf" 2> "$scratch/nochip.txt" ||
    status=$?
[ "$status" -eq 1 ] || fail "the packaged armhf teruna-mqtt without a chip ended with status $status, not 1"
grep -q 'cannot set up the GPIO pins' "$scratch/nochip.txt" ||
    fail "the packaged armhf teruna-mqtt without a chip said: $(cat "$scratch/nochip.txt")"
# So the rounds run the build's gateway on the simulated pins: the same static libmosquitto
# and OpenSSL, linked the same way.
gateway=$build/tests/teruna-mqtt-simulated
readelf -A "$gateway" | grep -Eq '^ *Tag_CPU_arch: v(4T?|5TE?J?|6|6KZ?)$' || fail "$gateway is not ARMv6"

# A CA of the run's own, and a certificate it signs for 127.0.0.1.
pki=$scratch/pki
key='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'
mkdir -p "$pki"
# shellcheck disable=SC2086
openssl req -x509 $key -keyout "$pki/ca.key" -out "$pki/ca.crt" -days 2 -subj /CN=teruna-ci-ca 2>/dev/null
# shellcheck disable=SC2086
openssl req $key -keyout "$pki/server.key" -out "$pki/server.csr" -subj /CN=127.0.0.1 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' > "$pki/san"
openssl x509 -req -in "$pki/server.csr" -CA "$pki/ca.crt" -CAkey "$pki/ca.key" -CAcreateserial -out "$pki/server.crt" \
    -days 2 -extfile "$pki/san" 2>/dev/null
openssl verify -CAfile "$pki/ca.crt" "$pki/server.crt" >/dev/null || fail "the test's server certificate does not verify"

plain_port=$(free_port)
tls_port=$(free_port)
[ "$tls_port" != "$plain_port" ] || tls_port=$((plain_port + 1))
cat > "$scratch/mosquitto.conf" <<CONF
user $(id -un)
per_listener_settings true
listener $plain_port 127.0.0.1
allow_anonymous true
listener $tls_port 127.0.0.1
allow_anonymous true
cafile $pki/ca.crt
certfile $pki/server.crt
keyfile $pki/server.key
CONF
mosquitto=$(command -v mosquitto || echo /usr/sbin/mosquitto)
"$mosquitto" -c "$scratch/mosquitto.conf" 2> "$scratch/mosquitto.log" &
broker=$!
background+=("$broker")
await_port "$plain_port"
await_port "$tls_port"

# A press of remote 17, button 5, as teruna sends it, for the gateways' FIFOs.
TERUNA_SIM_VCD="$scratch/heard.vcd" TERUNA_SIM_CLOCK=virtual "$host/teruna" -g 17 -n 5 >/dev/null
gateway_round plain "$gateway" "mqtt://127.0.0.1:$plain_port"
gateway_round tls "$gateway" "mqtts://127.0.0.1:$tls_port" "ca_file = $pki/ca.crt"
# And the certificate is checked: with another CA, the gateway says why it cannot connect.
mkdir -p "$scratch/other"
# shellcheck disable=SC2086
openssl req -x509 $key -keyout "$scratch/other/ca.key" -out "$scratch/other/ca.crt" -days 2 -subj /CN=other 2>/dev/null
printf '%s\n' "broker = mqtts://127.0.0.1:$tls_port" "node = arm1176-other" "ca_file = $scratch/other/ca.crt" \
    > "$scratch/other/mqtt.conf"
TERUNA_SIM_VCD="$scratch/other/sent.vcd" TERUNA_SIM_CLOCK=virtual qemu-arm -cpu arm1176 "$gateway" \
    -c "$scratch/other/mqtt.conf" 2> "$scratch/other/gateway.err" &
other=$!
refused=no
background+=("$other")
for _ in $(seq 300); do
    if grep -q "TLS failed: the broker's certificate is refused" "$scratch/other/gateway.err"; then
        refused=yes
        break
    fi
    sleep 0.1
done
kill "$other"
wait "$other" || true
[ "$refused" = yes ] || fail "the gateway with another CA said: $(cat "$scratch/other/gateway.err")"
kill "$broker"
wait "$broker" || true
echo "gateway-arm1176: the packaged teruna-mqtt runs on the ARM1176; the simulated-pins build sent and heard, plain and TLS"

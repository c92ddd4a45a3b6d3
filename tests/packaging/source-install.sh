#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# cmake --install of BUILD_DIR (one with teruna-mqtt): the gateway's configuration installed
# once with mode 640 and kept when installed again, its unit installed, and its sysusers.d entry
# making the service's user and putting it in gpio, whether gpio exists or not.
#   tests/packaging/source-install.sh BUILD_DIR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
top=$(cd "$here/../.." && pwd)
build=$(realpath "${1:?usage: source-install.sh BUILD_DIR}")
root=$scratch/source-install
conf=$root/etc/teruna/mqtt.conf
sysusers=$root/usr/local/lib/sysusers.d/teruna-mqtt.conf
DESTDIR=$root cmake --install "$build" --prefix /usr/local
cmp -s "$conf" "$top/mqtt/mqtt.conf" || fail "the first install does not put mqtt.conf in /etc/teruna"
[ "$(stat -c %a "$conf")" = 640 ] || fail "the installed configuration's mode is $(stat -c %a "$conf"), not 640"
[ -f "$root/usr/local/lib/systemd/system/teruna-mqtt.service" ] || fail "the unit is not installed"
echo 'broker = mqtt://edited.invalid' >> "$conf"
DESTDIR=$root cmake --install "$build" --prefix /usr/local | tee "$scratch/reinstall.log"
[ "$(tail -n 1 "$conf")" = 'broker = mqtt://edited.invalid' ] ||
    fail "a second install replaced the edited configuration"
grep -qx -- "-- Keeping: $conf" "$scratch/reinstall.log" || fail "a second install does not say it keeps $conf"
# The entry applied to a system without gpio and to one whose gpio has a member already.
for before in '' 'gpio:x:997:pi'; do
    rm -rf "$scratch/sysroot"
    mkdir -p "$scratch/sysroot/etc"
    [ -z "$before" ] || printf 'root:x:0:\n%s\n' "$before" > "$scratch/sysroot/etc/group"
    systemd-sysusers --root="$scratch/sysroot" "$sysusers"
    grep -Eq '^teruna-mqtt:x:([0-9]+):\1:[^:]*:/nonexistent:/usr/sbin/nologin$' "$scratch/sysroot/etc/passwd" ||
        fail "sysusers.d makes no system user teruna-mqtt with a group of its own (gpio before: '$before')"
    gpio=$(grep '^gpio:' "$scratch/sysroot/etc/group")
    if [ -z "$before" ]; then
        grep -Eqx 'gpio:x:[0-9]+:teruna-mqtt' <<<"$gpio" || fail "sysusers.d makes no gpio group for teruna-mqtt: $gpio"
    else
        [ "$gpio" = 'gpio:x:997:pi,teruna-mqtt' ] || fail "sysusers.d does not join the existing gpio: $gpio"
    fi
done
echo "cmake --install: the configuration installed once and kept, the user and gpio from sysusers.d"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The package's maintainer scripts, on an install, an upgrade, a removal and a purge, ask systemd
# for what debhelper's would for teruna-mqtt's service: logged by stand-ins for systemctl and
# deb-systemd-invoke; deb-systemd-helper logs, then does it on this machine's links and state.
# The purge runs teruna-mqtt --retire with the copies the removal kept.
# The package is cpack's from BUILD_DIR (one with the gateway), installed as this machine's
# architecture (see as_installable).
#   tests/packaging/maintainer-scripts.sh ARCH BUILD_DIR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
arch=${1:?usage: maintainer-scripts.sh ARCH BUILD_DIR}
build=$(realpath "$2")
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(as_installable "$(deb_of "$build" "$arch")")
unit=teruna-mqtt.service
standins=$scratch/standins
calls=$scratch/systemd-calls.log
link=/etc/systemd/system/multi-user.target.wants/$unit
mask=/etc/systemd/system/$unit

# What each phase's scripts asked of systemd must be WANTED exactly: phase_calls PHASE WANTED
phase_calls() {
    [ "$(cat "$calls" 2>/dev/null)" = "$2" ] || fail "on $1, the maintainer scripts called:
$(cat "$calls" 2>/dev/null)
rather than:
$2"
    rm -f "$calls"
}

mkdir -p "$standins"
for name in systemctl deb-systemd-invoke deb-systemd-helper; do
    printf '#!/bin/sh\n[ -n "${IN_HELPER:-}" ] || echo "%s $*" >> "%s"\n' "$name" "$calls" >"$standins/$name"
done
echo 'IN_HELPER=yes exec /usr/bin/deb-systemd-helper "$@"' >>"$standins/deb-systemd-helper"
chmod 0755 "$standins"/*
dpkg-query -W teruna >/dev/null 2>&1 && dpkg --purge teruna
at_exit 'dpkg --purge teruna >/dev/null 2>&1'
# The scripts act on a running systemd only: this machine is made to look booted with it.
if [ ! -d /run/systemd/system ]; then
    mkdir -p /run/systemd/system
    at_exit 'rmdir /run/systemd/system'
fi

PATH=$standins:$PATH dpkg -i "$deb"
phase_calls install "deb-systemd-helper debian-installed $unit
deb-systemd-helper update-state $unit
systemctl --system daemon-reload"
[ ! -e "$link" ] || fail "installing the package enables the service"

# The administrator enables it, as systemctl enable links it; the upgrade keeps it so.
ln -s "/usr/lib/systemd/system/$unit" "$link"
PATH=$standins:$PATH dpkg -i "$(repacked "$deb" upgrade 's/^Version: \(.*\)/Version: \1+1/')"
phase_calls upgrade "deb-systemd-helper debian-installed $unit
deb-systemd-helper unmask $unit
deb-systemd-helper --quiet was-enabled $unit
deb-systemd-helper enable $unit
deb-systemd-helper update-state $unit
systemctl --system daemon-reload
deb-systemd-invoke try-restart $unit"
[ -L "$link" ] || fail "the upgrade took away the link of the enabled service"

PATH=$standins:$PATH dpkg -r teruna
phase_calls remove "deb-systemd-invoke stop $unit
systemctl --system daemon-reload
deb-systemd-helper mask $unit"
[ -L "$link" ] || fail "removing the package (not purging it) forgets that the service was enabled"

# The program and its configuration, kept for the purge, which runs a stand-in here: the
# package's program is another architecture's.
kept=/var/lib/teruna-mqtt
[ -x "$kept/teruna-mqtt" ] && [ -f "$kept/mqtt.conf" ] || fail "the removal keeps no teruna-mqtt and mqtt.conf in $kept"
[ "$(stat -c %a "$kept")" = 700 ] || fail "$kept is mode $(stat -c %a "$kept"), not 700"
printf '#!/bin/sh\necho "teruna-mqtt $*" >> "%s"\n' "$calls" >"$kept/teruna-mqtt"
PATH=$standins:$PATH dpkg --purge teruna
phase_calls purge "deb-systemd-helper purge $unit
deb-systemd-helper unmask $unit
teruna-mqtt --retire -c $kept/mqtt.conf"
for name in "$link" "$mask" "/var/lib/systemd/deb-systemd-helper-enabled/$unit" \
    "/var/lib/systemd/deb-systemd-helper-masked/$unit" "$kept"; do
    [ ! -e "$name" ] && [ ! -L "$name" ] || fail "the purge leaves $name"
done
echo "maintainer scripts: install, upgrade, remove and purge ask systemd for what debhelper's would, and the purge retires the node"

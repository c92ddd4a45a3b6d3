#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package cpack makes of a cross build: its fields, contents and binaries, lintian
# without a finding, and an installation (as this machine's architecture: see as_installable)
# that grants the transmitter its capability and sets up the gateway's user and configuration.
# The armhf package is static: Built-Using names the sources in SOURCES_DIR, its copyright their
# licences, and its tools run on the Pi 1's ARM1176 (qemu-arm); HOST_BUILD_DIR's teruna, on the
# simulated pins, makes the press its receiver must hear.
#   tests/packaging/deb.sh ARCH BUILD_DIR HOST_BUILD_DIR [SOURCES_DIR]
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
arch=${1:?usage: deb.sh ARCH BUILD_DIR HOST_BUILD_DIR [SOURCES_DIR]}
build=$(realpath "$2")
host=$(realpath "$3")
sources=${4:-}
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(deb_of "$build" "$arch")
version=$(dpkg-deb --field "$deb" Version)
dpkg-deb --info "$deb"
# Output is read whole (grep without -q, or from a variable) where a check reads a pipe: grep -q
# stops at its match, and the writer's SIGPIPE would fail the pipeline whatever it held.
contents=$(dpkg-deb --contents "$deb")
echo "$contents"

[ "$(dpkg-deb --field "$deb" Architecture)" = "$arch" ] || fail "$deb is not for $arch"
depends=$(dpkg-deb --field "$deb" Depends)
[ "$(dpkg-deb --field "$deb" Recommends)" = libcap2-bin ] || fail "$deb does not recommend libcap2-bin"
deb_has "$deb" ./usr/bin/teruna ./usr/bin/teruna-sniff ./usr/share/man/man1/teruna.1.gz \
    ./usr/share/man/man1/teruna-sniff.1.gz ./usr/share/doc/teruna/README.md ./usr/share/doc/teruna/copyright \
    ./usr/share/doc/teruna/changelog.gz ./usr/share/bash-completion/completions/teruna \
    ./usr/share/bash-completion/completions/teruna-sniff
grep -q ' ./usr/bin/teruna-mqtt$' <<<"$contents" || fail "$deb has no teruna-mqtt"
# The gateway's page, its unit, its configuration kept as the administrator's.
deb_has "$deb" ./usr/share/man/man1/teruna-mqtt.1.gz ./usr/lib/systemd/system/teruna-mqtt.service ./etc/teruna/mqtt.conf
grep -qw adduser <<<"$depends" || fail "$deb does not depend on adduser"
dpkg-deb --info "$deb" conffiles | grep -x /etc/teruna/mqtt.conf >/dev/null || fail "/etc/teruna/mqtt.conf is not a conffile"

tree=$scratch/deb
dpkg-deb --extract "$deb" "$tree"
# The version is the build's, and the changelog and the pages say the same.
first=$(zcat "$tree/usr/share/doc/teruna/changelog.gz" | sed -n 1p)
[[ $first == "teruna ($version) "* ]] || fail "the changelog's first entry is not $version: $first"
for page in "$tree"/usr/share/man/man1/*.1.gz; do
    zcat "$page" | grep "^\.TH .* \"teruna $version\"" >/dev/null || fail "$(basename "$page") does not say teruna $version"
done
zcat "$tree/usr/share/man/man1/teruna.1.gz" | grep '^\.TH TERUNA 1' >/dev/null || fail "teruna.1 is not teruna's page"

machine=$([ "$arch" = armhf ] && echo 'ARM' || echo 'AArch64')
binaries=(teruna teruna-sniff teruna-mqtt)
for binary in "${binaries[@]}"; do
    readelf -h "$tree/usr/bin/$binary" | grep "Machine: *$machine\$" >/dev/null || fail "$binary is not for $machine"
done
if [ "$arch" = armhf ]; then
    # Static: only the gateway's service user needs a package, adduser.
    [ "$depends" = adduser ] || fail "the static armhf package depends on '$depends', not on adduser alone"
    [ -n "$sources" ] || fail "the armhf package is checked against the sources it was built from: give SOURCES_DIR"
    built_using=$(awk '{ printf "%s%s (= %s)", (NR > 1 ? ", " : ""), $1, $2 }' "$sources/versions")
    [ "$(dpkg-deb --field "$deb" Built-Using)" = "$built_using" ] ||
        fail "$deb's Built-Using is '$(dpkg-deb --field "$deb" Built-Using)', not '$built_using'"
    for licence in 'Files: mosquitto/lib/\*' 'License: EPL-2.0 or EDL-1.0' 'Files: mosquitto/deps/uthash.h' \
        'Files: openssl/\*' 'License: Apache-2.0' 'License: LGPL-2.1+' \
        'License: GPL-3+ with GCC-Runtime-Library-Exception'; do
        grep -qx "$licence.*" "$tree/usr/share/doc/teruna/copyright" || fail "the armhf package's copyright lacks '$licence'"
    done
    for binary in "${binaries[@]}"; do
        readelf -A "$tree/usr/bin/$binary" | grep -Eq '^ *Tag_CPU_arch: v(4T?|5TE?J?|6|6KZ?)$' ||
            fail "the packaged $binary is not ARMv6"
        if readelf -l "$tree/usr/bin/$binary" | grep INTERP >/dev/null; then
            fail "the armhf $binary asks for a dynamic loader"
        fi
    done
    # The packaged tools themselves on the Pi 1's core: the receiver decodes a press, the
    # transmitter looks for a chip that is not there.
    TERUNA_SIM_VCD="$scratch/press.vcd" "$host/teruna" -g 6400 -n 3 >/dev/null
    qemu-arm -cpu arm1176 "$tree/usr/bin/teruna-sniff" -f "$scratch/press.vcd" | grep -x 'remote 6400 button 3' >/dev/null ||
        fail "the packaged armhf teruna-sniff does not hear the press"
    status=0
    TERUNA_GPIOCHIP=/nonexistent qemu-arm -cpu arm1176 "$tree/usr/bin/teruna" 2>"$scratch/nochip.txt" || status=$?
    [ "$status" -eq 1 ] || fail "the packaged armhf teruna without a chip ended with status $status, not 1"
    grep -qx 'wiringPiSetup failed: No such file or directory' "$scratch/nochip.txt" ||
        fail "the packaged armhf teruna without a chip said: $(cat "$scratch/nochip.txt")"
else
    for library in 'libc6 (>= ' libmosquitto1 libssl3 libstdc++6; do
        grep -qF "$library" <<<"$depends" || fail "$deb does not depend on $library: $depends"
    done
    if grep -q cross <<<"$depends"; then fail "$deb depends on a cross library: $depends"; fi
    readelf -d "$tree/usr/bin/teruna" | grep 'BIND_NOW' >/dev/null || fail "the arm64 teruna is not bound now"
fi

# No error, no warning; informational tags only where the package's overrides say why.
lintian --info --fail-on error,warning,info --tag-display-limit 0 "$deb"

# Installing it grants the capability that real-time priority needs, and sets up a unit
# systemd accepts, a configuration for the service only, and the service's user in gpio.
dpkg-query -W teruna >/dev/null 2>&1 && dpkg --purge teruna
at_exit 'dpkg --purge teruna >/dev/null 2>&1'
dpkg -i "$(as_installable "$deb")"
getcap /usr/bin/teruna | grep 'cap_sys_nice=ep' >/dev/null || fail "installing $deb does not grant cap_sys_nice"
verdict=$(systemd-analyze verify --man=no /usr/lib/systemd/system/teruna-mqtt.service 2>&1) ||
    fail "systemd-analyze verify refuses the installed unit: $verdict"
[ -z "$verdict" ] || fail "systemd-analyze verify warns about the installed unit: $verdict"
[ "$(stat -c '%a %U %G' /etc/teruna/mqtt.conf)" = "640 root teruna-mqtt" ] ||
    fail "the installed configuration is $(stat -c '%a %U %G' /etc/teruna/mqtt.conf)"
id -nG teruna-mqtt | grep -w gpio >/dev/null || fail "the service's user is not in the gpio group"
dpkg --purge teruna
echo "package: $arch $version, depends on $depends, lintian clean, installed with its capability and the gateway set up"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The armhf package's binaries on an emulated Pi Zero (QEMU's raspi0: an ARM1176 and the
# BCM2835) booting Debian's armel rpi kernel with its bcm2835-rpi-zero device tree, through
# the kernel's GPIO character device and its BCM2835 pin controller. What it proves:
#   teruna finds the header's chip by its label and drives BCM 17 exactly as the simulated
#     pins say, seen through the kernel's own gpio_value trace events (QEMU has no trace of
#     this GPIO);
#   teruna-sniff holds BCM 27 as an input with edge events, finds no press and ends on time;
#   teruna-mqtt sets up BCM 17 as its output and BCM 27 as its input, keeps trying a broker
#     that is not there, and stops on SIGTERM with status 0.
# QEMU 7.2's BCM2835 lacks the power-management block's bus registers, which the kernel's
# power-domain driver reads early in the boot: the external abort kills init before the
# console exists, so nothing is printed. That driver is kept from starting; earlycon makes a
# boot that still fails say why.
# Needs qemu-system-arm and cpio. Downloads the armel kernel and busybox into WORK_DIR from the
# machine's Debian archive, through apt with a configuration, lists and cache of its own there
# (cmake/debian-apt.sh: the machine's apt is untouched), and keeps them for the next run.
#   raspi0.sh ARMHF_STATIC_BUILD_DIR HOST_SIMULATED_TERUNA WORK_DIR
set -euo pipefail
target_build=$(realpath "$1")
host_tool=$(realpath "$2")
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/vm/checks.sh
. "$here/checks.sh"
mkdir -p "$work"
cd "$work"

if [ ! -d kernel ]; then
    # shellcheck source=cmake/debian-apt.sh
    . "$here/../../cmake/debian-apt.sh"
    debian_apt_init apt armel deb
    debian_apt_update
    image=$(debian_apt apt-cache depends linux-image-rpi | awk '/Depends: linux-image-/ { print $2; exit }')
    [ -n "$image" ] || { echo "raspi0.sh: the armel lists name no linux-image-rpi" >&2; exit 1; }
    debian_apt apt-get download "$image" busybox-static
    dpkg -x linux-image-*.deb kernel
    dpkg -x busybox-static_*.deb busybox
fi
vmlinuz=$(ls kernel/boot/vmlinuz-*)
dtb=$(ls kernel/usr/lib/linux-image-*/bcm2835-rpi-zero.dtb)

rm -rf root && mkdir -p root/bin root/proc root/sys root/dev root/tmp
cp busybox/bin/busybox "$target_build/teruna" "$target_build/teruna-sniff" "$target_build/teruna-mqtt" root/bin/
expected_changes -p 0 >root/expected-raspi0
pack_initrd root initrd.gz

echo "== raspi0: BCM2835, Debian's armel rpi kernel"
until_done 300 raspi0.log qemu-system-arm -M raspi0 -nographic -no-reboot -kernel "$vmlinuz" -dtb "$dtb" \
    -initrd initrd.gz -append "console=ttyAMA0 earlycon=pl011,0x20201000 initcall_blacklist=bcm2835_power_driver_init quiet teruna.board=raspi0"
read_checks raspi0.log raspi0

echo "emulated Pi Zero: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

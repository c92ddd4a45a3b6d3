#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The tools on Debian's own arm64 kernel, under QEMU, through the kernel's GPIO character
# device as on a Pi. What each machine proves:
#   virt (PL061 GPIO, two CPUs): a press drives the line exactly as the simulated pins say,
#     in QEMU's trace of the controller; the errors a user sees (no chip, no line, a line off
#     the chip, a chip or priority refused, a busy line given up or waited for); a fault mid
#     press leaves the line low; two presses started at once on one line both go out whole,
#     one after the other; the receiver holds its line as an input and ends when the chip goes.
#   raspi3b (the BCM2835 pin controller of Debian's device tree): the header's chip is found
#     by its label, and BCM 17 is teruna's output during a press and free after it.
#   virt with a gpio-sim chip labelled as a Pi's (a module built here from the kernel's
#     source): presses fed to a line with real edge events and the kernel's timestamps are
#     decoded, noise and other remotes are not; and teruna-mqtt with Debian's mosquitto
#     broker and clients on the guest's loopback: a request published over MQTT drives its
#     tx_pin exactly as the simulated pins say (the kernel's gpio_value trace events), and a
#     press fed to its rx_pin is published on BASE/received.
# Needs qemu-system-arm, cpio, make and the arm64 cross compiler; downloads Debian's kernel,
# busybox, mosquitto and their libraries into WORK_DIR through apt lists of its own there
# (cmake/debian-apt.sh), and keeps them (and the gpio-sim module) there for the next run.
#   run.sh AARCH64_STATIC_BUILD_DIR HOST_SIMULATED_TERUNA WORK_DIR AARCH64_GATEWAY
# AARCH64_GATEWAY is teruna-mqtt linked against Debian's arm64 libmosquitto, as the arm64
# package builds it.
set -euo pipefail
target_build=$(realpath "$1")
host_tool=$(realpath "$2")
work=$3
gateway=$(realpath "$4")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/vm/checks.sh
. "$here/checks.sh"
mkdir -p "$work"
cd "$work"

# Debian's arm64 packages come from a private apt, so this machine needs no arm64 architecture;
# the kernel module's build tools run here, and come from a second one for this machine's own.
# shellcheck source=cmake/debian-apt.sh
. "$here/../../cmake/debian-apt.sh"
apt_root=$PWD
arm64_apt() { debian_apt_dir=$apt_root/apt-arm64 debian_apt_arch=arm64 debian_apt "$@"; }
arm64_apt_closure() { debian_apt_dir=$apt_root/apt-arm64 debian_apt_arch=arm64 debian_apt_closure "$@"; }
host_apt() { debian_apt_dir=$apt_root/apt-host debian_apt_arch=$(dpkg --print-architecture) debian_apt "$@"; }
apt_lists() {  # NAME ARCH
    if [ ! -f "apt-$1/updated" ]; then
        debian_apt_init "apt-$1" "$2" deb
        debian_apt_update
        touch "apt-$1/updated"
    fi
}
apt_lists arm64 arm64

if [ ! -d kernel ]; then
    image=$(arm64_apt apt-cache depends linux-image-arm64 | awk '/Depends: linux-image-/ { print $2; exit }')
    [ -n "$image" ] || { echo "run.sh: the arm64 package lists name no kernel behind linux-image-arm64" >&2; exit 1; }
    arm64_apt apt-get download "$image" busybox-static
    dpkg-deb -x linux-image-*.deb kernel
    dpkg-deb -x busybox-static_*.deb busybox
fi
kver=$(ls kernel/lib/modules)
series=${kver%%.0-*}

# Debian's arm64 kernel has no gpio-sim: it and the interrupt simulator it needs are built
# here as modules, from the kernel's source and headers of the same version. A module
# cannot use irq_to_desc(); generic_handle_irq() does the same job.
if [ ! -f gpio-sim/mod/gpio-sim.ko ]; then
    rm -rf gpio-sim && mkdir -p gpio-sim/root gpio-sim/mod
    apt_lists host "$(dpkg --print-architecture)"
    (cd gpio-sim && arm64_apt apt-get download "linux-headers-$kver" "linux-headers-${kver%-arm64}-common" \
        "linux-source-$series" && host_apt apt-get download "linux-kbuild-$series")
    for deb in gpio-sim/linux-headers-*.deb gpio-sim/linux-kbuild-*.deb; do dpkg-deb -x "$deb" gpio-sim/root; done
    headers=$PWD/gpio-sim/root/usr/src/linux-headers-$kver
    sed -i "s|include /usr/src/|include $PWD/gpio-sim/root/usr/src/|" "$headers/Makefile"
    # tar stops reading the source once it has the three files.
    (dpkg-deb --fsys-tarfile gpio-sim/linux-source-*.deb | tar -xO "./usr/src/linux-source-$series.tar.xz" |
        tar -xJ -C gpio-sim/mod --occurrence --strip-components=3 "linux-source-$series/drivers/gpio/gpio-sim.c" \
            "linux-source-$series/drivers/gpio/gpiolib.h" "linux-source-$series/kernel/irq/irq_sim.c") 2>/dev/null || true
    sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq(irqnum);/' gpio-sim/mod/irq_sim.c
    grep -q 'generic_handle_irq(irqnum)' gpio-sim/mod/irq_sim.c
    printf '#include <linux/module.h>\nMODULE_LICENSE("GPL");\n' >>gpio-sim/mod/irq_sim.c
    echo 'obj-m := irq_sim.o gpio-sim.o' >gpio-sim/mod/Kbuild
    make -s -C "$headers" M="$PWD/gpio-sim/mod" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- modules
fi
# What feeds the gpio-sim line: the transmitter's own code, writing the line's pull.
cmake --build "$target_build" -j2 --target teruna-inject

# The broker and its clients are Debian's arm64 ones, and the gateway is linked against
# Debian's arm64 libmosquitto: each shared library they need, and what that needs in turn,
# comes from the packages they and the gateway's libraries depend on, as apt resolves them.
needed() { readelf -d "$@" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | sort -u; }
in_userland() { find userland/tree/lib userland/tree/usr/lib -name "$1" 2>/dev/null | head -n 1; }
if [ ! -f userland/unpacked ]; then
    rm -rf userland
    if ! arm64_apt_closure userland/debs mosquitto mosquitto-clients libmosquitto1 libssl3 libstdc++6 libgcc-s1 libc6 \
        >userland.log 2>&1; then
        echo "run.sh: apt could not download mosquitto and its libraries: $(grep -m 1 '^E: ' userland.log)" >&2
        exit 1
    fi
    debian_unpack userland/tree userland/debs/*.deb
    touch userland/unpacked
fi
programs=(userland/tree/usr/sbin/mosquitto userland/tree/usr/bin/mosquitto_pub userland/tree/usr/bin/mosquitto_sub
    "$gateway")
libraries=()
unresolved=$(needed "${programs[@]}")
while [ -n "$unresolved" ]; do
    next=()
    for soname in $unresolved; do
        file=$(in_userland "$soname")
        if [ -z "$file" ]; then
            echo "run.sh: $soname is in none of the arm64 packages in $work/userland/debs" >&2
            exit 1
        fi
        if [[ " ${libraries[*]} " != *" $file "* ]]; then
            libraries+=("$file")
            next+=("$file")
        fi
    done
    unresolved=$([ ${#next[@]} -eq 0 ] || needed "${next[@]}")
done

vmlinuz=$(ls kernel/boot/vmlinuz-*)
dtb=$(ls kernel/usr/lib/linux-image-*/broadcom/bcm2837-rpi-3-b.dtb)

rm -rf root && mkdir -p root/bin root/lib root/proc root/sys root/dev root/tmp
cp busybox/bin/busybox "$target_build/teruna" "$target_build/teruna-sniff" root/bin/
cp "$target_build/teruna-inject" root/bin/inject
cp "kernel/lib/modules/$kver/kernel/fs/configfs/configfs.ko" gpio-sim/mod/irq_sim.ko gpio-sim/mod/gpio-sim.ko root/lib/
cp "${programs[@]}" root/bin/
mkdir -p root/lib/aarch64-linux-gnu
cp -L "${libraries[@]}" root/lib/aarch64-linux-gnu/
cp -L userland/tree/lib/ld-linux-aarch64.so.1 root/lib/

expected_changes -p 7 >expected
expected_changes -p 8 -n 1 >expected-once
cat expected-once expected-once >expected-twice
cp expected-once root/
# The press the gateway is asked for, which the guest compares with what its kernel traced.
expected_changes -g 6400 -n 3 >root/expected-gateway

pack_initrd root initrd.gz

# TERUNA_VM_ONLY=MACHINE boots that one alone, for work on its checks.
wanted() { [ -z "${TERUNA_VM_ONLY:-}" ] || [ "$TERUNA_VM_ONLY" = "$1" ]; }

# The level changes the controller's trace shows on one line. Its reset sets every line
# low; a press begins with the first rise.
traced_changes() {  # line
    sed -n "s/.*setting output $1 to \([01]\)\$/\1/p" trace.log | sed -n '/1/,$p'
}
compare_changes() {  # name, expected file, traced file
    if cmp -s "$2" "$3"; then
        verdict "$1" ok
    else
        verdict "$1" fail "expected $(wc -l <"$2") changes ending $(tail -1 "$2"), traced $(wc -l <"$3") ending $(tail -1 "$3")"
    fi
}

if wanted virt; then
    echo "== virt: PL061, /dev/gpiochip0"
    # Two CPUs, so that the shell can run beside a press at real-time priority. Guest time
    # follows the guest's instructions: on the host's clock, a busy host stretched a press past
    # the 5 s that a second press waits for the line, and that one rightly gave up.
    timeout 300 qemu-system-aarch64 -M virt -cpu cortex-a53 -smp 2 -m 512 -nographic -no-reboot -nic none \
        -icount shift=0,sleep=off -kernel "$vmlinuz" -initrd initrd.gz \
        -append "console=ttyAMA0 quiet teruna.board=virt" \
        -trace pl061_set_output -D trace.log -msg timestamp=on </dev/null >virt.log 2>&1 || true
    read_checks virt.log virt
    traced_changes 4 >line4
    compare_changes virt/line4_carries_exactly_the_press expected line4
    traced_changes 7 >line7
    if [ "$(tail -1 line7)" = 0 ] && grep -q 1 line7; then
        verdict virt/line7_driven_low_by_the_fault_handler ok
    else
        verdict virt/line7_driven_low_by_the_fault_handler fail "traced $(wc -l <line7) changes ending '$(tail -1 line7)'"
    fi
    traced_changes 2 >line2
    compare_changes virt/line2_carries_both_concurrent_presses_whole expected-twice line2
fi

if wanted raspi3b; then
    echo "== raspi3b: pinctrl-bcm2835, found by its label"
    until_done 300 raspi3b.log qemu-system-aarch64 -M raspi3b -m 1G -nographic -no-reboot \
        -kernel "$vmlinuz" -dtb "$dtb" -initrd initrd.gz -append "console=ttyAMA0 teruna.board=raspi3b"
    read_checks raspi3b.log raspi3b
fi

if wanted gpiosim; then
    echo "== virt with gpio-sim: edges with the kernel's timestamps"
    # Guest time follows the guest's own instructions, so the injected widths come out as timed
    # (plain emulation takes longer for one write of the pull than a zero's half lasts). One
    # CPU: with two, each runs only in its turn of the emulator's round robin, and the kernel's
    # edge thread, waiting for its turn, stamps and reads the line late.
    timeout 300 qemu-system-aarch64 -M virt -cpu cortex-a53 -smp 1 -m 512 -nographic -no-reboot -nic none \
        -icount shift=0,sleep=off -kernel "$vmlinuz" -initrd initrd.gz \
        -append "console=ttyAMA0 quiet teruna.board=gpiosim" </dev/null >gpiosim.log 2>&1 || true
    read_checks gpiosim.log gpiosim
fi

echo "emulated kernels: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

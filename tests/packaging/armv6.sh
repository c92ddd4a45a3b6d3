#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The armhf build is for every 32-bit Pi, the Zero and Pi 1 (ARMv6) among them: each binary in
# ARMHF_BUILD_DIR says ARMv6 at most, and the emulated ARM1176 the suite runs on is one where an
# ARMv7 instruction faults (so that the suite would catch one).
#   tests/packaging/armv6.sh ARMHF_BUILD_DIR
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/shell.sh
. "$here/../support/shell.sh"
build=$(realpath "${1:?usage: armv6.sh ARMHF_BUILD_DIR}")
for binary in teruna teruna-sniff teruna-mqtt tests/teruna-simulated tests/teruna-mqtt-simulated; do
    # What an ARM1176 runs: up to ARMv6KZ, without Thumb-2.
    readelf -A "$build/$binary" | grep -Eq '^ *Tag_CPU_arch: v(4T?|5TE?J?|6|6KZ?)$' ||
        fail "$binary is not ARMv6: $(readelf -A "$build/$binary" | grep Tag_CPU_arch)"
done
printf 'int main(void) { __asm__ volatile("movw r0, #1" ::: "r0"); return 0; }\n' >"$scratch/v7.c"
arm-linux-gnueabi-gcc -march=armv7-a -marm -static -o "$scratch/v7" "$scratch/v7.c"
qemu-arm "$scratch/v7" || fail "the ARMv7 probe does not run on the default core"
status=0
sh -c 'qemu-arm -cpu arm1176 "$1"; exit $?' sh "$scratch/v7" 2>/dev/null || status=$?
[ "$status" -eq 132 ] || fail "an ARMv7 instruction on the ARM1176 ended with status $status, not SIGILL"
echo "armhf: ARMv6 binaries, and the ARM1176 refuses ARMv7"

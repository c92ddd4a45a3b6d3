# SPDX-License-Identifier: MIT
# Cross build for 32-bit Raspberry Pi OS (armhf).
set(teruna_triplet arm-linux-gnueabihf)
set(teruna_processor arm)
set(teruna_deb_arch armhf)
set(teruna_qemu qemu-arm)
set(teruna_loader /lib/ld-linux-armhf.so.3)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

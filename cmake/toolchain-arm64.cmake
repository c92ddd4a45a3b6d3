# SPDX-License-Identifier: MIT
# Cross build for 64-bit Raspberry Pi OS (arm64).
set(teruna_triplet aarch64-linux-gnu)
set(teruna_processor aarch64)
set(teruna_deb_arch arm64)
set(teruna_qemu qemu-aarch64)
set(teruna_loader /lib/ld-linux-aarch64.so.1)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

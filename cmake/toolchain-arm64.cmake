# SPDX-License-Identifier: MIT
# Cross build for 64-bit Raspberry Pi OS (arm64). The libraries it links against and its tests
# run with are Debian's arm64 packages unpacked into a sysroot by cmake/fetch-sysroot.sh, by
# default build-sysroot/arm64 in the source tree; TERUNA_SYSROOT names another.
set(teruna_triplet aarch64-linux-gnu)
set(teruna_processor aarch64)
set(teruna_deb_arch arm64)
set(teruna_qemu qemu-aarch64)
set(teruna_loader /lib/ld-linux-aarch64.so.1)
if(TERUNA_SYSROOT)
  get_filename_component(teruna_sysroot ${TERUNA_SYSROOT} ABSOLUTE)
else()
  get_filename_component(teruna_sysroot ${CMAKE_CURRENT_LIST_DIR}/../build-sysroot/arm64 ABSOLUTE)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

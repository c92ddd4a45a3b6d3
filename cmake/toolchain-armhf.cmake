# SPDX-License-Identifier: MIT
# Cross build for 32-bit Raspberry Pi OS (armhf), on every 32-bit Pi: the Zero, Zero W and
# Pi 1 are ARMv6, where Debian's armhf start-up files and libraries (ARMv7, Thumb-2) die
# on their first instruction. So the tools are compiled for ARMv6 with its VFP and linked
# statically against Debian's armel C library (ARMv5TE): a static binary needs nothing
# from the system's libraries, so their float ABI does not matter to it.
set(teruna_triplet arm-linux-gnueabi)
set(teruna_processor arm)
set(teruna_deb_arch armhf)
set(teruna_qemu qemu-arm)
# The tests run on the Pi 1's and Zero's core, so an ARMv7 instruction fails them.
set(teruna_qemu_args -cpu arm1176)
set(TERUNA_STATIC ON)
set(CMAKE_C_FLAGS_INIT "-march=armv6 -mfpu=vfp -mfloat-abi=softfp -marm")
# GCC's note that 7.1 changed how some arguments are passed concerns code linked against
# other compilers' objects; everything in a static binary comes from this one.
set(CMAKE_CXX_FLAGS_INIT "${CMAKE_C_FLAGS_INIT} -Wno-psabi")
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)

# SPDX-License-Identifier: MIT
# What the Raspberry Pi toolchain files share: a Debian cross compiler for the target
# triplet, the target's multiarch packages, and qemu-user to run the tests on a PC.
# Expects teruna_triplet, teruna_processor, teruna_deb_arch, teruna_qemu, and either
# teruna_loader (the target's dynamic loader) or TERUNA_STATIC; teruna_qemu_args is optional.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${teruna_processor})
set(CMAKE_C_COMPILER ${teruna_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${teruna_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${teruna_triplet})
set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config, which the find modules ask first, must see the target's libraries, not the PC's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${teruna_triplet}/pkgconfig:/usr/share/pkgconfig)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${teruna_deb_arch})
find_program(TERUNA_QEMU ${teruna_qemu})
if(TERUNA_QEMU AND (TERUNA_STATIC OR EXISTS "${teruna_loader}"))
  # A static binary needs no C library, and a multiarch one is found where it is installed.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TERUNA_QEMU} ${teruna_qemu_args})
elseif(TERUNA_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TERUNA_QEMU} ${teruna_qemu_args} -L /usr/${teruna_triplet})
endif()

# SPDX-License-Identifier: MIT
# What the Raspberry Pi toolchain files share: a Debian cross compiler for the target
# triplet, the target's multiarch packages, and qemu-user to run the tests on a PC.
# Expects teruna_triplet, teruna_processor, teruna_deb_arch, teruna_qemu, teruna_loader.
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
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${teruna_deb_arch})
find_program(TERUNA_QEMU ${teruna_qemu})
if(TERUNA_QEMU AND EXISTS ${teruna_loader})
  # The target's C library is installed as a multiarch package: qemu finds it as it is.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TERUNA_QEMU})
elseif(TERUNA_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TERUNA_QEMU} -L /usr/${teruna_triplet})
endif()

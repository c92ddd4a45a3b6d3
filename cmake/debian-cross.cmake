# SPDX-License-Identifier: MIT
# What the Raspberry Pi toolchain files share: a Debian cross compiler for the target
# triplet, the target's libraries, and qemu-user to run the tests on a PC.
# Expects teruna_triplet, teruna_processor, teruna_deb_arch, teruna_qemu, and either
# teruna_loader (the target's dynamic loader) or TERUNA_STATIC; teruna_qemu_args is optional.
# With teruna_sysroot (made by cmake/fetch-sysroot.sh), the target's libraries are found in
# its root; without, in the machine's own multiarch packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${teruna_processor})
set(CMAKE_C_COMPILER ${teruna_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${teruna_triplet}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${teruna_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${teruna_deb_arch})
find_program(TERUNA_QEMU ${teruna_qemu})
if(DEFINED teruna_sysroot)
  set(teruna_sysroot_root ${teruna_sysroot}/root)
  if(NOT EXISTS ${teruna_sysroot_root}${teruna_loader})
    message(FATAL_ERROR "teruna: no ${teruna_deb_arch} sysroot in ${teruna_sysroot}; make it with: "
                        "cmake/fetch-sysroot.sh ${teruna_sysroot}")
  endif()
  # try_compile's projects read this file again, without the cache.
  set(TERUNA_SYSROOT ${teruna_sysroot})
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TERUNA_SYSROOT)
  # Not CMAKE_SYSROOT: the compiler keeps the C library it was built with, and the sysroot
  # only adds the libraries and their headers (the multiarch folder holds OpenSSL's
  # configuration.h). As system folders, their headers' warnings are not ours.
  set(CMAKE_FIND_ROOT_PATH ${teruna_sysroot_root})
  set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES ${teruna_sysroot_root}/usr/include/${teruna_triplet}
                                           ${teruna_sysroot_root}/usr/include)
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${CMAKE_C_STANDARD_INCLUDE_DIRECTORIES})
  set(ENV{PKG_CONFIG_LIBDIR}
      ${teruna_sysroot_root}/usr/lib/${teruna_triplet}/pkgconfig:${teruna_sysroot_root}/usr/share/pkgconfig)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${teruna_sysroot_root})
  # The sysroot's library folders stand for the target's own: no run path into them, which a
  # Pi would not have. A library's own needs (libmosquitto's libssl) are looked up there too.
  list(APPEND CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES ${teruna_sysroot_root}/lib/${teruna_triplet}
                                                      ${teruna_sysroot_root}/usr/lib/${teruna_triplet})
  foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-Wl,-rpath-link,${teruna_sysroot_root}/lib/${teruna_triplet}")
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -Wl,-rpath-link,${teruna_sysroot_root}/usr/lib/${teruna_triplet}")
  endforeach()
  if(TERUNA_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TERUNA_QEMU} ${teruna_qemu_args} -L ${teruna_sysroot_root})
  endif()
else()
  set(CMAKE_FIND_ROOT_PATH /)
  # pkg-config, which the find modules ask first, must see the target's libraries, not the PC's.
  set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${teruna_triplet}/pkgconfig:/usr/share/pkgconfig)
  if(TERUNA_QEMU AND (TERUNA_STATIC OR EXISTS "${teruna_loader}"))
    # A static binary needs no C library, and a multiarch one is found where it is installed.
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TERUNA_QEMU} ${teruna_qemu_args})
  elseif(TERUNA_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TERUNA_QEMU} ${teruna_qemu_args} -L /usr/${teruna_triplet})
  endif()
endif()

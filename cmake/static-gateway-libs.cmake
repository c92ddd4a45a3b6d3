# SPDX-License-Identifier: MIT
# For a static build (armhf): OpenSSL and libmosquitto's client library built from the
# source trees given (cmake/fetch-sources.sh fetches Debian's), static and with the
# toolchain's flags, since Debian ships neither for an ARMv6 static link. Downloads nothing.
# Defines the interface library teruna_static_mosquitto (libmosquitto, libssl, libcrypto),
# teruna_static_openssl (libssl, libcrypto), and teruna_static_built_using: the versions
# of the source packages, for the Debian package's Built-Using.
enable_language(C)
include(ExternalProject)
find_program(PERL perl REQUIRED)
find_program(MAKE_PROGRAM NAMES gmake make REQUIRED)

# A relative toolchain file is relative to where cmake ran, which a sub-build does not share.
set(toolchain ${CMAKE_TOOLCHAIN_FILE})
if(toolchain AND NOT IS_ABSOLUTE "${toolchain}")
  if(EXISTS ${CMAKE_BINARY_DIR}/${toolchain})
    set(toolchain ${CMAKE_BINARY_DIR}/${toolchain})
  else()
    set(toolchain ${CMAKE_SOURCE_DIR}/${toolchain})
  endif()
endif()
# The toolchain's CPU flags (ARMv6), and time_t and file offsets as wide as the gateway's.
set(lib_cflags "${CMAKE_C_FLAGS} -O2 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
separate_arguments(lib_cflag_list UNIX_COMMAND "${lib_cflags}")

# OpenSSL's make shares the parent make's jobs (-j2 here), rather than running serially.
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(sub_make "$(MAKE)")
else()
  set(sub_make ${MAKE_PROGRAM} -j2)
endif()
set(openssl_prefix ${CMAKE_BINARY_DIR}/openssl)
# openssldir is Debian's, so that the Pi's CA certificates are the default trust store.
# BROKEN_CLANG_ATOMICS has OpenSSL take a lock for its 64-bit atomics: ARMv6 has no
# instruction for them, and libatomic's archive brings ARMv7 code into the binary.
ExternalProject_Add(
  teruna_openssl_build
  SOURCE_DIR ${TERUNA_OPENSSL_SOURCE}
  BINARY_DIR ${CMAKE_BINARY_DIR}/openssl-build
  INSTALL_DIR ${openssl_prefix}
  CONFIGURE_COMMAND
    ${CMAKE_COMMAND} -E env CC=${CMAKE_C_COMPILER} AR=${CMAKE_AR} RANLIB=${CMAKE_RANLIB} ${PERL}
    <SOURCE_DIR>/Configure linux-armv4 no-shared no-tests no-module --prefix=<INSTALL_DIR> --libdir=lib
    --openssldir=/usr/lib/ssl ${lib_cflag_list} -DBROKEN_CLANG_ATOMICS
  BUILD_COMMAND ${sub_make} build_libs
  INSTALL_COMMAND ${sub_make} install_dev
  BUILD_BYPRODUCTS ${openssl_prefix}/lib/libssl.a ${openssl_prefix}/lib/libcrypto.a
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_INSTALL ON
  LOG_OUTPUT_ON_FAILURE ON)

set(mosquitto_build ${CMAKE_BINARY_DIR}/mosquitto-build)
# The toolchain file gives the sub-build its compiler and CPU flags; CFLAGS adds to them
# (a CMAKE_C_FLAGS given here would replace them). Only the static client library is built.
ExternalProject_Add(
  teruna_mosquitto_build
  DEPENDS teruna_openssl_build
  SOURCE_DIR ${TERUNA_MOSQUITTO_SOURCE}
  BINARY_DIR ${mosquitto_build}
  CONFIGURE_COMMAND
    ${CMAKE_COMMAND} -E env "CFLAGS=-O2 -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64" ${CMAKE_COMMAND} -S <SOURCE_DIR>
    -B <BINARY_DIR> -DCMAKE_TOOLCHAIN_FILE=${toolchain} -DCMAKE_BUILD_TYPE=None -DWITH_STATIC_LIBRARIES=ON
    -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DWITH_CLIENTS=OFF -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF
    -DWITH_CJSON=OFF -DWITH_SRV=OFF -DWITH_TLS=ON -DOPENSSL_ROOT_DIR=${openssl_prefix}
    -DOPENSSL_INCLUDE_DIR=${openssl_prefix}/include -DOPENSSL_SSL_LIBRARY=${openssl_prefix}/lib/libssl.a
    -DOPENSSL_CRYPTO_LIBRARY=${openssl_prefix}/lib/libcrypto.a -DOPENSSL_USE_STATIC_LIBS=ON
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target libmosquitto_static
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${mosquitto_build}/lib/libmosquitto_static.a
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_OUTPUT_ON_FAILURE ON)

# An interface library's include folder must exist when it is configured.
file(MAKE_DIRECTORY ${openssl_prefix}/include)
add_library(teruna_static_openssl INTERFACE)
target_include_directories(teruna_static_openssl SYSTEM INTERFACE ${openssl_prefix}/include)
target_link_libraries(teruna_static_openssl INTERFACE ${openssl_prefix}/lib/libssl.a ${openssl_prefix}/lib/libcrypto.a
                                                      ${CMAKE_DL_LIBS} Threads::Threads)
add_dependencies(teruna_static_openssl teruna_openssl_build)
add_library(teruna_static_mosquitto INTERFACE)
target_include_directories(teruna_static_mosquitto SYSTEM INTERFACE ${TERUNA_MOSQUITTO_SOURCE}/include)
target_compile_definitions(teruna_static_mosquitto INTERFACE LIBMOSQUITTO_STATIC)
target_link_libraries(teruna_static_mosquitto INTERFACE ${mosquitto_build}/lib/libmosquitto_static.a
                                                        teruna_static_openssl)
add_dependencies(teruna_static_mosquitto teruna_mosquitto_build)

# Built-Using: the source packages' names and versions, from their Debian changelogs.
set(teruna_static_built_using)
foreach(tree ${TERUNA_MOSQUITTO_SOURCE} ${TERUNA_OPENSSL_SOURCE})
  if(NOT EXISTS ${tree}/debian/changelog)
    message(FATAL_ERROR "${tree} is not a Debian source package (no debian/changelog): Built-Using needs its version")
  endif()
  file(STRINGS ${tree}/debian/changelog first LIMIT_COUNT 1)
  if(NOT first MATCHES "^([a-z0-9.+-]+) \\(([^)]+)\\)")
    message(FATAL_ERROR "${tree}/debian/changelog does not begin with a package and a version: ${first}")
  endif()
  list(APPEND teruna_static_built_using "${CMAKE_MATCH_1} (= ${CMAKE_MATCH_2})")
endforeach()
list(JOIN teruna_static_built_using ", " teruna_static_built_using)
set(teruna_static_built_using "${teruna_static_built_using}" PARENT_SCOPE)

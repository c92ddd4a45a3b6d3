# SPDX-License-Identifier: MIT
# Every choice a build can be given, in one place, read by the folders after it.
option(TERUNA_WERROR "Treat compiler warnings as errors" OFF)
option(TERUNA_TESTS "Build the tests" ON)
option(TERUNA_CLI_TESTS_ON_TOOL "Run the command-line tests on the tool itself, whatever its backend" OFF)
# The VCD reader under libFuzzer, with clang: `cmake -DCMAKE_CXX_COMPILER=clang++ -DTERUNA_FUZZ=ON`.
option(TERUNA_FUZZ "Build the VCD reader's fuzzer (needs clang)" OFF)
option(TERUNA_WIRINGPI_STANDIN "Also build the simulated pins as a shared libwiringPi" OFF)
option(TERUNA_STATIC "Link the tool and tests statically" OFF)
option(TERUNA_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TERUNA_TSAN "Build everything with ThreadSanitizer" OFF)
# Debian's hardening (fortified functions, stack protector, read-only relocations bound at
# start, position-independent executables), for the target's architecture.
option(TERUNA_HARDENING "Build with the hardening flags of dpkg-buildflags, where it exists" ON)

set(TERUNA_GPIO_CHOICES auto sim cdev wiringpi)
set(TERUNA_GPIO auto CACHE STRING "GPIO backend the tool drives: ${TERUNA_GPIO_CHOICES}")
set_property(CACHE TERUNA_GPIO PROPERTY STRINGS ${TERUNA_GPIO_CHOICES})
if(NOT TERUNA_GPIO IN_LIST TERUNA_GPIO_CHOICES)
  message(FATAL_ERROR "TERUNA_GPIO is '${TERUNA_GPIO}'; it must be one of: ${TERUNA_GPIO_CHOICES}")
endif()

set(TERUNA_MOSQUITTO_SOURCE "" CACHE PATH "for a static build: mosquitto's source tree, built here (cmake/fetch-sources.sh)")
set(TERUNA_OPENSSL_SOURCE "" CACHE PATH "for a static build: OpenSSL's source tree, built here (cmake/fetch-sources.sh)")
# Said in the discovery configs' origin when given, so that a user of the hub knows where to
# ask; none by default, as the hub prints it in its logs.
set(TERUNA_SUPPORT_URL "" CACHE STRING "the support address the gateway gives Home Assistant (none when empty)")

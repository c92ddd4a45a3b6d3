# SPDX-License-Identifier: MIT
# Installs the man page and README beside the tool, and makes a Debian package with
# `cpack -G DEB` for the architecture the build targets.
find_program(GZIP gzip REQUIRED)
set(man_pages)
set(pages teruna teruna-sniff)
if(TERUNA_MQTT)
  list(APPEND pages teruna-mqtt)
endif()
foreach(page ${pages})
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/${page}.1.gz
                     COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/${page}.1 > ${PROJECT_BINARY_DIR}/${page}.1.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}.1 VERBATIM)
  list(APPEND man_pages ${PROJECT_BINARY_DIR}/${page}.1.gz)
endforeach()
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.gz
                   COMMAND ${GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/changelog > ${PROJECT_BINARY_DIR}/changelog.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/docs/changelog VERBATIM)
add_custom_target(man_pages ALL DEPENDS ${man_pages} ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# A static binary carries the libraries it links: their licences join ours.
set(copyright_pieces ${PROJECT_SOURCE_DIR}/docs/copyright)
if(TERUNA_STATIC)
  list(APPEND copyright_pieces ${PROJECT_SOURCE_DIR}/docs/copyright-static)
  if(TERUNA_MQTT)
    list(APPEND copyright_pieces ${PROJECT_SOURCE_DIR}/docs/copyright-gateway-static)
  endif()
endif()
set(copyright)
foreach(piece ${copyright_pieces})
  file(READ ${piece} text)
  string(APPEND copyright "${text}")
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${copyright_pieces})
file(WRITE ${PROJECT_BINARY_DIR}/copyright.new "${copyright}")
file(COPY_FILE ${PROJECT_BINARY_DIR}/copyright.new ${PROJECT_BINARY_DIR}/copyright ONLY_IF_DIFFERENT)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
file(READ ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides lintian_overrides)
if(TERUNA_STATIC)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides-static static_overrides)
  string(APPEND lintian_overrides "${static_overrides}")
endif()
if(TERUNA_MQTT)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides-mqtt mqtt_overrides)
  string(APPEND lintian_overrides "${mqtt_overrides}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides
                                                               ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides-static
                                                               ${CMAKE_CURRENT_LIST_DIR}/debian/lintian-overrides-mqtt)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/lintian-overrides CONTENT "${lintian_overrides}" @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME teruna)
# Real-time priority keeps a press's timing exact; the package grants it in its postinst.
install(CODE "message(STATUS \"teruna: to let it ask for real-time priority: sudo setcap cap_sys_nice+ep \${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/teruna\")")
install(FILES ${PROJECT_SOURCE_DIR}/completions/teruna ${PROJECT_SOURCE_DIR}/completions/teruna-sniff
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(CPACK_PACKAGE_NAME teruna)
set(CPACK_PACKAGE_VENDOR "teruna developers")
set(CPACK_PACKAGE_CONTACT "teruna developers <teruna@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Stands in for a Teruna remote control on a Raspberry Pi: one run sends one\nbutton press as precisely timed levels on a GPIO pin wired to a 433 MHz\ntransmitter module. teruna-sniff finds the ids of a remote's presses in a\nrecording or live on a GPIO input wired to a receiver module.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# The libraries' packages are looked up in this machine's package database, or, for a build on
# a sysroot (cmake/fetch-sysroot.sh), in the packages unpacked there (cpack-project.cmake).
if(TERUNA_SYSROOT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(teruna_packaged_programs ${PROJECT_BINARY_DIR}/teruna ${PROJECT_BINARY_DIR}/teruna-sniff)
  if(TERUNA_MQTT)
    list(APPEND teruna_packaged_programs ${PROJECT_BINARY_DIR}/teruna-mqtt)
  endif()
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS libcap2-bin)
# The gateway's part of the postinst, and its need of adduser, come only with the gateway.
file(READ ${CMAKE_CURRENT_LIST_DIR}/debian/postinst postinst)
if(TERUNA_MQTT)
  file(READ ${CMAKE_CURRENT_LIST_DIR}/debian/postinst-mqtt postinst_mqtt)
  string(APPEND postinst "${postinst_mqtt}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
                                                               ${CMAKE_CURRENT_LIST_DIR}/debian/postinst-mqtt)
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/postinst CONTENT "${postinst}" @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/postinst)
if(TERUNA_MQTT)
  # The gateway's configuration is the administrator's; the service runs as a user of its own.
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/conffiles)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
endif()
# A package with the gateway handles its service in the prerm and postrm too (the postinst does
# so through postinst-mqtt).
if(TERUNA_MQTT)
  foreach(script prerm postrm)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/${script}-mqtt ${PROJECT_BINARY_DIR}/debian/${script} COPYONLY)
    list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/${script})
  endforeach()
endif()
if(TERUNA_MQTT AND teruna_static_built_using)
  set(CPACK_TERUNA_BUILT_USING "${teruna_static_built_using}")
  set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/built-using.cmake)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(TERUNA_GPIO_BACKEND STREQUAL "wiringpi")
  # Raspberry Pi OS ships the library as the package 'wiringpi'.
  list(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS wiringpi)
  list(JOIN CPACK_DEBIAN_PACKAGE_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
endif()
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
# dpkg-shlibdeps reads the target's libraries from their multiarch folders and the
# target's objdump when it is told the host architecture.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake.in ${PROJECT_BINARY_DIR}/cpack-project.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-project.cmake)
include(CPack)

# SPDX-License-Identifier: MIT
# Run by cpack after it made the package: adds the Built-Using field, which CPack's DEB
# generator does not know, naming the source packages linked into the static gateway.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb ${CPACK_PACKAGE_FILES})
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/built-using)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  string(REGEX REPLACE "\n(Description:)" "\nBuilt-Using: ${CPACK_TERUNA_BUILT_USING}\n\\1" control "${control}")
  if(NOT control MATCHES "\nBuilt-Using: ")
    message(FATAL_ERROR "the control file of ${deb} has no Description to put Built-Using before")
  endif()
  file(WRITE ${tree}/DEBIAN/control "${control}")
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz --build ${tree} ${deb} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()

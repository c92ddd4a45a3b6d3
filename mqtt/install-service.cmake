# SPDX-License-Identifier: MIT
# Run by `cmake --install` once the program and its unit are in: the configuration, never in
# place of the administrator's, and on a live install as root the service's user, which the
# unit cannot start without. teruna_mqtt_conf and teruna_mqtt_sysusers name what to install.
set(conf /etc/teruna/mqtt.conf)
if(EXISTS "$ENV{DESTDIR}${conf}")
  message(STATUS "Keeping: $ENV{DESTDIR}${conf}")
  set(conf_is_new FALSE)
else()
  # Mode 0640: it may name a password file.
  file(INSTALL "${teruna_mqtt_conf}" DESTINATION /etc/teruna FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
  set(conf_is_new TRUE)
endif()
# A package, or a DESTDIR staged for one, makes the user in its own way (the Debian package in
# its postinst).
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  return()
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(TERUNA_SYSUSERS systemd-sysusers)
if(NOT uid STREQUAL "0" OR NOT TERUNA_SYSUSERS)
  message(STATUS "teruna: for the service, as root: systemd-sysusers ${teruna_mqtt_sysusers}; "
                 "chgrp teruna-mqtt ${conf}")
  return()
endif()
execute_process(COMMAND "${TERUNA_SYSUSERS}" "${teruna_mqtt_sysusers}" RESULT_VARIABLE failed)
if(failed)
  message(WARNING "teruna: systemd-sysusers ${teruna_mqtt_sysusers} failed: the service has no user yet")
  return()
endif()
# Only a configuration installed now: an existing one's owner and mode are the administrator's.
if(conf_is_new)
  execute_process(COMMAND chgrp teruna-mqtt "${conf}" RESULT_VARIABLE failed)
  if(failed)
    message(WARNING "teruna: chgrp teruna-mqtt ${conf} failed: the service cannot read it")
  endif()
endif()

# SPDX-License-Identifier: MIT
# The programs that drive pins, each built from its one main on the GPIO library given:
# teruna::gpio, the backend chosen, for what is installed; the simulated pins for the copies
# that the tests and benchmarks run where that backend drives real ones.
function(teruna_tool_executable name gpio)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/tx/teruna.cpp)
  target_link_libraries(${name} PRIVATE teruna_tx ${gpio} teruna_common teruna_warnings)
endfunction()

function(teruna_mqtt_executable name gpio)
  add_executable(${name} ${PROJECT_SOURCE_DIR}/mqtt/teruna-mqtt.cpp)
  target_link_libraries(${name} PRIVATE teruna_mqtt ${gpio} teruna_warnings)
endfunction()

# Sets `result` to the program that `make` (one of the two above) builds as `name`, on the
# simulated pins: `name` itself where they are the backend, else a copy `name`-simulated,
# made once, in build/tests, built when something depends on it.
function(teruna_on_simulated_pins name make result)
  if(TERUNA_GPIO_BACKEND STREQUAL "sim")
    set(${result} ${name} PARENT_SCOPE)
    return()
  endif()
  set(copy ${name}-simulated)
  if(NOT TARGET ${copy})
    cmake_language(CALL ${make} ${copy} teruna_gpio_sim)
    set_target_properties(${copy} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests EXCLUDE_FROM_ALL ON)
  endif()
  set(${result} ${copy} PARENT_SCOPE)
endfunction()

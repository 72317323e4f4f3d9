# SPDX-License-Identifier: MIT
# libmosquitto and cJSON, for the programs that speak MQTT (vemra-agent on
# the board, vemra-fleet on the host). vemra_need_mqtt_libs(WHO HINT...) finds
# both into the cache (VEMRA_MOSQUITTO_INCLUDE_DIR, VEMRA_MOSQUITTO_LIBRARY,
# VEMRA_CJSON_INCLUDE_DIR, VEMRA_CJSON_LIBRARY) and stops the configuration
# at the first one missing, naming WHO and what to do (HINT: the
# arguments after WHO, joined).
function(vemra_need_mqtt_libs who)
  string(JOIN "" hint ${ARGN})
  find_path(VEMRA_MOSQUITTO_INCLUDE_DIR mosquitto.h)
  find_library(VEMRA_MOSQUITTO_LIBRARY NAMES mosquitto)
  find_path(VEMRA_CJSON_INCLUDE_DIR cjson/cJSON.h)
  find_library(VEMRA_CJSON_LIBRARY NAMES cjson)
  foreach(what VEMRA_MOSQUITTO_INCLUDE_DIR VEMRA_MOSQUITTO_LIBRARY VEMRA_CJSON_INCLUDE_DIR VEMRA_CJSON_LIBRARY)
    if(NOT ${what})
      message(FATAL_ERROR "${who} needs libmosquitto and cJSON, and ${what} was not found: ${hint}")
    endif()
  endforeach()
endfunction()

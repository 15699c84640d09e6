# Checks the service configuration and writes it into a generated header.

if(NOT NIMBROVATOR_STORM_KEY MATCHES "^[0-9A-Fa-f]+$")
  message(FATAL_ERROR "NIMBROVATOR_STORM_KEY must be exactly 40 hexadecimal characters")
endif()
string(LENGTH "${NIMBROVATOR_STORM_KEY}" _key_length)
if(NOT _key_length EQUAL 40)
  message(FATAL_ERROR "NIMBROVATOR_STORM_KEY must be exactly 40 hexadecimal characters "
                      "(it has ${_key_length})")
endif()

if(NOT NIMBROVATOR_WEATHER_KEY MATCHES "^[0-9a-f]+$")
  message(FATAL_ERROR "NIMBROVATOR_WEATHER_KEY must be exactly 32 lower-case hexadecimal characters")
endif()
string(LENGTH "${NIMBROVATOR_WEATHER_KEY}" _key_length)
if(NOT _key_length EQUAL 32)
  message(FATAL_ERROR "NIMBROVATOR_WEATHER_KEY must be exactly 32 lower-case hexadecimal "
                      "characters (it has ${_key_length})")
endif()

set(_host_form "([A-Za-z0-9.-]+|\\[[0-9A-Fa-f:.]+\\])(:[0-9]+)?$")
if(NOT NIMBROVATOR_STORM_HOST MATCHES "^${_host_form}")
  message(FATAL_ERROR "NIMBROVATOR_STORM_HOST must be a host name with an optional :port "
                      "(got '${NIMBROVATOR_STORM_HOST}')")
endif()
if(NOT NIMBROVATOR_WEATHER_HOST MATCHES "^(https?://)?${_host_form}")
  message(FATAL_ERROR "NIMBROVATOR_WEATHER_HOST must be a host name with an optional :port, "
                      "after an optional https:// or http:// (got '${NIMBROVATOR_WEATHER_HOST}')")
endif()
foreach(_ca_file NIMBROVATOR_STORM_CA_FILE NIMBROVATOR_WEATHER_CA_FILE)
  if(${_ca_file} MATCHES "[\"\\\\]")
    message(FATAL_ERROR "${_ca_file} must not contain quotes or backslashes")
  endif()
endforeach()

# The storm key never stands whole in the program: the header holds its 40 characters
# masked one by one, and the program makes its one-character pieces from them at start-up.
set(NIMBROVATOR_STORM_KEY_PIECES "")
foreach(_i RANGE 39)
  string(SUBSTRING "${NIMBROVATOR_STORM_KEY}" ${_i} 1 _piece)
  string(HEX "${_piece}" _hex)
  math(EXPR _masked "0x${_hex} ^ ((${_i} * 73 + 151) % 256)" OUTPUT_FORMAT HEXADECIMAL)
  if(_i GREATER 0)
    string(APPEND NIMBROVATOR_STORM_KEY_PIECES ", ")
  endif()
  string(APPEND NIMBROVATOR_STORM_KEY_PIECES "${_masked}")
endforeach()

configure_file(${PROJECT_SOURCE_DIR}/cmake/nimbrovator_config.h.in
               ${PROJECT_BINARY_DIR}/generated/nimbrovator_config.h @ONLY)

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

foreach(_host NIMBROVATOR_STORM_HOST NIMBROVATOR_WEATHER_HOST)
  if(NOT ${_host} MATCHES "^[A-Za-z0-9.-]+(:[0-9]+)?$")
    message(FATAL_ERROR "${_host} must be a host name with an optional :port (got '${${_host}}')")
  endif()
endforeach()
if(NIMBROVATOR_STORM_CA_FILE MATCHES "[\"\\\\]")
  message(FATAL_ERROR "NIMBROVATOR_STORM_CA_FILE must not contain quotes or backslashes")
endif()

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

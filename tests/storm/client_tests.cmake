# Tests of the SOAP client against the HTTPS storm service double.
nimbrovator_test(storm_client_test ${CMAKE_CURRENT_SOURCE_DIR}/storm_client_test.cpp)
target_link_libraries(storm_client_test PRIVATE service_doubles)
target_compile_definitions(storm_client_test PRIVATE
  EXPECTED_STORM_KEY="${NIMBROVATOR_STORM_KEY}")

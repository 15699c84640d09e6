# Tests of the SOAP client against a fake HTTPS storm service.
find_program(OPENSSL_EXECUTABLE openssl REQUIRED)
pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)

# Test certificates, made at build time.
set(TEST_PKI_DIR ${PROJECT_BINARY_DIR}/test-pki)
set(TEST_PKI_FILES
    ${TEST_PKI_DIR}/ca.pem ${TEST_PKI_DIR}/ca.key
    ${TEST_PKI_DIR}/server.pem ${TEST_PKI_DIR}/server.key
    ${TEST_PKI_DIR}/wrong-host-server.pem ${TEST_PKI_DIR}/wrong-host-server.key
    ${TEST_PKI_DIR}/other-ca.pem
    ${TEST_PKI_DIR}/other-server.pem ${TEST_PKI_DIR}/other-server.key)
add_custom_command(
  OUTPUT ${TEST_PKI_FILES}
  COMMAND ${CMAKE_COMMAND} -E env OPENSSL=${OPENSSL_EXECUTABLE}
          sh ${CMAKE_CURRENT_SOURCE_DIR}/pki_make.sh ${TEST_PKI_DIR}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pki_make.sh
  COMMENT "Making the test certificates"
  VERBATIM)
add_custom_target(test_pki DEPENDS ${TEST_PKI_FILES})

# The fake storm service, also used by the whole-program tests.
add_library(fake_storm_service STATIC ${CMAKE_CURRENT_SOURCE_DIR}/fake_storm_service.cpp)
target_include_directories(fake_storm_service PUBLIC ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(fake_storm_service PRIVATE PkgConfig::HTTPLIB)
target_compile_definitions(fake_storm_service PUBLIC TEST_PKI_DIR="${TEST_PKI_DIR}")
add_dependencies(fake_storm_service test_pki)

nimbrovator_test(storm_client_test ${CMAKE_CURRENT_SOURCE_DIR}/storm_client_test.cpp)
target_link_libraries(storm_client_test PRIVATE fake_storm_service)
target_compile_definitions(storm_client_test PRIVATE
  EXPECTED_STORM_KEY="${NIMBROVATOR_STORM_KEY}")

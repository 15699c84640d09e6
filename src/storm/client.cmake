# The generated SOAP client (see storm_client.h).
# The service declaration carries the endpoint, so it is made from a template with the
# configured storm host; soapcpp2 then writes the client into the build tree.
find_program(SOAPCPP2_EXECUTABLE soapcpp2 REQUIRED)

set(STORM_ENDPOINT "https://${NIMBROVATOR_STORM_HOST}/soap.php")
set(STORM_SOAP_DIR ${CMAKE_CURRENT_BINARY_DIR}/soap)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/storm_service.h.in
               ${STORM_SOAP_DIR}/storm_service.h @ONLY)

set(STORM_SOAP_OUTPUTS
    ${STORM_SOAP_DIR}/soapStub.h
    ${STORM_SOAP_DIR}/soapH.h
    ${STORM_SOAP_DIR}/soapC.cpp
    ${STORM_SOAP_DIR}/soapserwerSOAPBindingProxy.h
    ${STORM_SOAP_DIR}/soapserwerSOAPBindingProxy.cpp
    ${STORM_SOAP_DIR}/serwerSOAPBinding.nsmap)
# Client only, SOAP 1.1, RPC encoding, xsi:type on body elements, no sample or schema files.
add_custom_command(
  OUTPUT ${STORM_SOAP_OUTPUTS}
  COMMAND ${SOAPCPP2_EXECUTABLE} -1 -e -t -j -C -L -x -w -d ${STORM_SOAP_DIR}
          ${STORM_SOAP_DIR}/storm_service.h
  DEPENDS ${STORM_SOAP_DIR}/storm_service.h
  WORKING_DIRECTORY ${STORM_SOAP_DIR}
  COMMENT "Generating the storm service SOAP client"
  VERBATIM)

# The library is defined in another directory, so a target of this directory runs the rule.
add_custom_target(storm_soap_client DEPENDS ${STORM_SOAP_OUTPUTS})
add_dependencies(nimbrovator_core storm_soap_client)
target_sources(nimbrovator_core PRIVATE ${STORM_SOAP_OUTPUTS}
                                        ${CMAKE_CURRENT_SOURCE_DIR}/storm_client.cpp)
target_include_directories(nimbrovator_core PRIVATE ${STORM_SOAP_DIR})

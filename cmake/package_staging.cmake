# Run by CPack on the staged files before it makes the Debian package: the manual page and the
# changelog compressed as Debian wants them (gzip -9n: no name, no time stamp), and the
# copyright file.
set(_root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(_doc "${_root}/share/doc/${CPACK_PACKAGE_NAME}")
file(MAKE_DIRECTORY "${_doc}")
file(COPY_FILE "${CPACK_NIMBROVATOR_PACKAGING_DIR}/copyright" "${_doc}/copyright")
file(COPY_FILE "${CPACK_NIMBROVATOR_PACKAGING_DIR}/changelog" "${_doc}/changelog")
foreach(_file "${_doc}/changelog" "${_root}/share/man/man1/nimbrovator.1")
  execute_process(COMMAND gzip -9nf "${_file}" RESULT_VARIABLE _status)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${_file}")
  endif()
endforeach()
file(CHMOD_RECURSE "${CPACK_TEMPORARY_DIRECTORY}/usr/share" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The Debian package, made by CPack from the install rules: cpack -G DEB in the build tree
# (scripts/package does that for a release build).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrovator)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Zespół Nimbrovatora <zespol@nimbrovator.pl>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lightning strikes and weather warnings near Polish towns")
# The long description; CPack puts the summary line before it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "nimbrovator reports, in Polish, how many lightning strikes a storm service
has recorded within a radius of a town in the last minutes, how far away and
in which direction the nearest was, and the weather warnings in force there.
It can also show the current weather and a two-day forecast. Town
coordinates are cached per user. The output can also be a JSON document or
one line for a status bar.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcurl is loaded at run time (dlopen), so the scan of the executable does not find it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.88)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Debian's rules for the staged files: compressed manual page, changelog and copyright.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_staging.cmake)
set(CPACK_NIMBROVATOR_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
include(CPack)

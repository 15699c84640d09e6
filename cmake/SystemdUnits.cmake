# Run at install time: writes the systemd user units from systemd/nimbrovator.service.in, their
# ExecStart naming the installed program (CPack installs under its own prefix). Under a prefix
# in the home directory (~/.local) they go where the user's service manager looks,
# share/systemd/user; elsewhere (/usr, /usr/local, the package) to lib/systemd/user.
# Set before: NIMBROVATOR_SOURCE_DIR, NIMBROVATOR_BINARY_DIR, NIMBROVATOR_BINDIR.
set(NIMBROVATOR_PROGRAM "${CMAKE_INSTALL_PREFIX}/${NIMBROVATOR_BINDIR}/nimbrovator")
set(unit_dir lib/systemd/user)
string(REGEX REPLACE "/+$" "" home "$ENV{HOME}")
string(FIND "${CMAKE_INSTALL_PREFIX}/" "${home}/" home_at)
if(NOT home STREQUAL "" AND home_at EQUAL 0)
  set(unit_dir share/systemd/user)
endif()

# A unit: its file name, what it watches (after --watch) and its description.
function(write_unit name watches description)
  set(NIMBROVATOR_UNIT_WATCHES "${watches}")
  set(NIMBROVATOR_UNIT_DESCRIPTION "${description}")
  configure_file("${NIMBROVATOR_SOURCE_DIR}/systemd/nimbrovator.service.in"
                 "${NIMBROVATOR_BINARY_DIR}/systemd/${name}" @ONLY)
  file(INSTALL "${NIMBROVATOR_BINARY_DIR}/systemd/${name}"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/${unit_dir}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

write_unit(nimbrovator@.service "%I" "Czuwanie burzowe nimbrovator: %I")
write_unit(nimbrovator-place@.service "--place %I" "Czuwanie burzowe nimbrovator: miejsce %I")
write_unit(nimbrovator-places.service "--all-places"
           "Czuwanie burzowe nimbrovator: wszystkie miejsca")

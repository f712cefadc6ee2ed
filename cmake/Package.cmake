# The release package, one zip for a Windows user: the program, the operator's guide as a text
# file for Notepad, and the SHA-256 sums of both; beside the zip, the zip's own sum.
#   cmake --build --preset windows --target package
# Its name carries the version of the project and the firmware image the program burns.

set(GUIDE_TEXT "${CMAKE_BINARY_DIR}/operator-guide.txt")
add_custom_command(
  OUTPUT "${GUIDE_TEXT}"
  COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tools/guide_to_text.py"
          "${CMAKE_SOURCE_DIR}/docs/operator-guide.md" "${GUIDE_TEXT}"
  DEPENDS "${CMAKE_SOURCE_DIR}/tools/guide_to_text.py" "${CMAKE_SOURCE_DIR}/docs/operator-guide.md"
  COMMENT "Writing the operator's guide as text"
  VERBATIM)
add_custom_target(operator_guide_text ALL DEPENDS "${GUIDE_TEXT}")

# Only this component goes into the package, whatever else the project may install.
install(TARGETS MorvexFirmwareUpdate RUNTIME DESTINATION . COMPONENT release)
install(FILES "${GUIDE_TEXT}" DESTINATION . COMPONENT release)
# The sums of the files as installed, so that they describe exactly what the zip holds.
install(CODE [[
  set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(sums "")
  foreach(name MorvexFirmwareUpdate.exe operator-guide.txt)
    file(SHA256 "${dir}/${name}" sum)
    string(APPEND sums "${sum}  ${name}\r\n")
  endforeach()
  file(WRITE "${dir}/SHA256SUMS" "${sums}")
]] COMPONENT release)

string(REGEX REPLACE "\\.[Bb][Ii][Nn]$" "" _package_image "${FIRMWARE_NAME}")
string(REGEX REPLACE "[^A-Za-z0-9._-]" "_" _package_image "${_package_image}")

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME MorvexFirmwareUpdate)
set(CPACK_PACKAGE_VENDOR Morvex)
set(CPACK_PACKAGE_VERSION "${CMAKE_PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "MorvexFirmwareUpdate-${CMAKE_PROJECT_VERSION}-${_package_image}-win64")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL release)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)

# The package as the build makes it, packed into a scratch folder and checked as a user gets it.
add_test(NAME release_package
         COMMAND "${CMAKE_SOURCE_DIR}/tools/check-package" --format ${MORVEX_PE_FORMAT} --build
                 "${CMAKE_BINARY_DIR}" "${CMAKE_CPACK_COMMAND}")

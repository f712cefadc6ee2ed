# The release package, one zip for a Windows user: the program, the console program (morvex-burn),
# the operator's guide as a text file for Notepad, and the SHA-256 sums of them; beside the zip,
# the zip's own sum.
#   cmake --build --preset windows --target package
# Its name carries the version of the project and the firmware image the program burns.
#
# Signed when a code-signing certificate is configured: the program is signed (Authenticode,
# SHA-256, osslsigncode) as it goes into the package, before the sums are taken.
#   cmake --preset windows -DMORVEX_SIGN_PKCS12=/path/to/publisher.p12 \
#     [-DMORVEX_SIGN_TIMESTAMP_URL=http://timestamp.example]
#   MORVEX_SIGN_PASSWORD=... cmake --build --preset windows --target package
# The same source gives the same zip, byte for byte: the program carries no link time, and the
# zip's entries stand in a fixed order, dated by the last commit of the source.
set(MORVEX_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file of the code-signing certificate for the release package; empty: unsigned")
set(MORVEX_SIGN_TIMESTAMP_URL "" CACHE STRING
    "Time-stamp server (RFC 3161) for the signature of the release package; empty: none")

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
install(TARGETS MorvexFirmwareUpdate morvex-burn RUNTIME DESTINATION . COMPONENT release)
install(FILES "${GUIDE_TEXT}" DESTINATION . COMPONENT release)
# The program is signed as installed into the package, so the build's own copy stays unsigned.
# The password goes to osslsigncode in a file that only the build's user can read, never on its
# command line, and the file is removed at once.
if(MORVEX_SIGN_PKCS12)
  find_program(MORVEX_OSSLSIGNCODE osslsigncode REQUIRED)
  message(STATUS "Release package: signed with ${MORVEX_SIGN_PKCS12} "
                 "(password from the environment variable MORVEX_SIGN_PASSWORD)")
  install(CODE "set(osslsigncode [[${MORVEX_OSSLSIGNCODE}]])
    set(pkcs12 [[${MORVEX_SIGN_PKCS12}]])
    set(timestamp_url [[${MORVEX_SIGN_TIMESTAMP_URL}]])
    set(password_file [[${CMAKE_BINARY_DIR}/sign-password]])" COMPONENT release)
  install(CODE [[
    foreach(program MorvexFirmwareUpdate.exe morvex-burn.exe)
      set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${program}")
      if(NOT DEFINED ENV{MORVEX_SIGN_PASSWORD})
        message(FATAL_ERROR "MORVEX_SIGN_PASSWORD is not set: it holds the password of ${pkcs12}")
      endif()
      file(REMOVE "${password_file}" "${exe}.signed")
      file(TOUCH "${password_file}")
      file(CHMOD "${password_file}" PERMISSIONS OWNER_READ OWNER_WRITE)
      file(WRITE "${password_file}" "$ENV{MORVEX_SIGN_PASSWORD}")
      set(timestamp "")
      if(timestamp_url)
        set(timestamp -ts "${timestamp_url}")
      endif()
      execute_process(
        COMMAND "${osslsigncode}" sign -pkcs12 "${pkcs12}" -readpass "${password_file}" -h sha256
                -n "Morvex PLC Firmware Update Program" ${timestamp} -in "${exe}" -out "${exe}.signed"
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
      file(REMOVE "${password_file}")
      if(NOT result EQUAL 0)
        message(FATAL_ERROR "Signing ${program} failed:\n${output}")
      endif()
      file(RENAME "${exe}.signed" "${exe}")
      message(NOTICE "${program} goes into the package signed with ${pkcs12}")
    endforeach()
  ]] COMPONENT release)
else()
  message(STATUS "Release package: unsigned (no MORVEX_SIGN_PKCS12 given)")
  install(CODE [[message(NOTICE "Each program goes into the package unsigned: "
                                 "no MORVEX_SIGN_PKCS12 configured")]] COMPONENT release)
endif()
# The sums of the files as installed, so that they describe exactly what the zip holds.
install(CODE [[
  set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(sums "")
  foreach(name MorvexFirmwareUpdate.exe morvex-burn.exe operator-guide.txt)
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
# The 32-bit program runs on every Windows; the 64-bit build's package says it is one.
if(MORVEX_PE_FORMAT STREQUAL "pei-i386")
  set(_package_system windows)
else()
  set(_package_system windows-x64)
endif()
set(CPACK_PACKAGE_FILE_NAME
    "MorvexFirmwareUpdate-${CMAKE_PROJECT_VERSION}-${_package_image}-${_package_system}")
set(CPACK_PACKAGE_CHECKSUM SHA256)
# The zip written again in a fixed form (before its sum is taken), dated by the source.
set(CPACK_MORVEX_SOURCE_DIR "${CMAKE_SOURCE_DIR}")
set(CPACK_MORVEX_PYTHON "${Python3_EXECUTABLE}")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_SOURCE_DIR}/cmake/ReproducibleZip.cmake")
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL release)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)

# The package as the build makes it, packed into a scratch folder and checked as a user gets it.
add_test(NAME release_package
         COMMAND "${CMAKE_SOURCE_DIR}/tools/check-package" --format ${MORVEX_PE_FORMAT} --build
                 "${CMAKE_BINARY_DIR}" "${CMAKE_CPACK_COMMAND}")
# The package that ships, built again in a second folder with the same options: the same zip;
# then signed there with a throwaway certificate and checked.
if(MORVEX_PE_FORMAT STREQUAL "pei-i386")
  add_test(
    NAME release_package_rebuild
    COMMAND
      "${CMAKE_SOURCE_DIR}/tools/check-package" --format ${MORVEX_PE_FORMAT} --rebuild
      "${CMAKE_BINARY_DIR}" "${CMAKE_CPACK_COMMAND}" "${CMAKE_COMMAND}" -G "${CMAKE_GENERATOR}"
      "-DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}" "-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}"
      "-DCMAKE_C_FLAGS=${CMAKE_C_FLAGS}" "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS}"
      "-DCMAKE_EXE_LINKER_FLAGS=${CMAKE_EXE_LINKER_FLAGS}" "-DMORVEX_WERROR=${MORVEX_WERROR}"
      "-DFIRMWARE_NAME=${FIRMWARE_NAME}" "-DFIRMWARE_IMAGE=${FIRMWARE_IMAGE}"
      "-DFIRMWARE_IMAGE_SIZE=${FIRMWARE_IMAGE_SIZE}" "-DFIRMWARE_IMAGE_SEED=${FIRMWARE_IMAGE_SEED}")
  # Both pack this build; one at a time.
  set_tests_properties(release_package release_package_rebuild PROPERTIES RESOURCE_LOCK
                                                                          release_package)
endif()

# The release package, one zip for a Windows user: the programs (resources/package-programs.txt),
# the operator's guide as a text file for Notepad, the versions of the tools that built it, and the
# SHA-256 sums of these; beside the zip, the zip's own sum.
#   cmake --build --preset windows --target package
# Its name carries the version of the project and the firmware image the program burns.
#
# Signed when a code-signing certificate is configured: the programs are signed (Authenticode,
# SHA-256, osslsigncode) as they go into the package, before the sums are taken.
#   cmake --preset windows -DMORVEX_SIGN_PKCS12=/path/to/publisher.p12 \
#     [-DMORVEX_SIGN_TIMESTAMP_URL=http://timestamp.example]
#   MORVEX_SIGN_PASSWORD=... cmake --build --preset windows --target package
# The same source gives the same zip, byte for byte, wherever and by whomever it is built: the
# programs carry no link time and no build folder, and the zip's entries stand in a fixed order,
# dated by the source (cmake/PackageStart.cmake).
set(MORVEX_SIGN_PKCS12 "" CACHE FILEPATH
    "PKCS#12 file of the code-signing certificate for the release package; empty: unsigned")
set(MORVEX_SIGN_TIMESTAMP_URL "" CACHE STRING
    "Time-stamp server (RFC 3161) for the signature of the release package; empty: none")

file(STRINGS "${CMAKE_SOURCE_DIR}/resources/package-programs.txt" _package_programs
     REGEX "^[A-Za-z]")
list(TRANSFORM _package_programs REPLACE " .*" "")
set(_package_names "${_package_programs}")
list(TRANSFORM _package_names APPEND .exe)

set(GUIDE_TEXT "${CMAKE_BINARY_DIR}/operator-guide.txt")
add_custom_command(
  OUTPUT "${GUIDE_TEXT}"
  COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tools/guide_to_text.py"
          "${CMAKE_SOURCE_DIR}/docs/operator-guide.md" "${GUIDE_TEXT}"
  DEPENDS "${CMAKE_SOURCE_DIR}/tools/guide_to_text.py" "${CMAKE_SOURCE_DIR}/docs/operator-guide.md"
  COMMENT "Writing the operator's guide as text"
  VERBATIM)
add_custom_target(operator_guide_text ALL DEPENDS "${GUIDE_TEXT}")

# The tools whose versions make the package's bytes, named in build-tools.txt for a verifier who
# rebuilds it: each by the first line of its --version and, where dpkg knows its file, its Debian
# package. The same tools give the same file.
set(_mingw_version_c "${CMAKE_BINARY_DIR}/mingw-version.c")
file(WRITE "${_mingw_version_c}" "#include <_mingw.h>\n__MINGW64_VERSION_STR\n")
find_library(_mingwex mingwex NO_CACHE)
set(_tools_text "Built with these tools; the same tools give the same zip.\n")
foreach(
  tool IN
  ITEMS "Compiler|${CMAKE_CXX_COMPILER}|${CMAKE_CXX_COMPILER}|--version"
        "Binutils|${CMAKE_LINKER}|${CMAKE_LINKER}|--version"
        "MinGW-w64 runtime|${_mingwex}|${CMAKE_C_COMPILER}|-E|-P|${_mingw_version_c}"
        "Zip writer|${Python3_EXECUTABLE}|${Python3_EXECUTABLE}|-c|print('Python %s zipfile, zlib %s' % (__import__('platform').python_version(), __import__('zlib').ZLIB_RUNTIME_VERSION))")
  string(REPLACE "|" ";" tool "${tool}")
  list(POP_FRONT tool label file)
  execute_process(COMMAND ${tool} OUTPUT_VARIABLE version ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(label MATCHES "runtime") # the preprocessor's last line: "10" "." "0" "." "0"
    string(REGEX MATCH "[^\n]+$" version "${version}")
    string(REGEX REPLACE "[\" ]" "" version "${version}")
  else()
    string(REGEX MATCH "^[^\n]+" version "${version}")
  endif()
  file(REAL_PATH "${file}" file)
  execute_process(COMMAND dpkg-query -S "${file}" OUTPUT_VARIABLE package ERROR_QUIET)
  string(REGEX REPLACE "[:,].*" "" package "${package}")
  if(package)
    execute_process(COMMAND dpkg-query -W "-f=\${Version}" "${package}" OUTPUT_VARIABLE debian)
    string(APPEND version "; Debian package ${package} ${debian}")
  endif()
  string(APPEND _tools_text "${label}: ${version}\n")
endforeach()
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/build-tools.txt" CONTENT "${_tools_text}" @ONLY
     NEWLINE_STYLE CRLF)

# Only this component goes into the package, whatever else the project may install.
install(TARGETS ${_package_programs} RUNTIME DESTINATION . COMPONENT release)
install(FILES "${GUIDE_TEXT}" "${CMAKE_BINARY_DIR}/build-tools.txt" DESTINATION . COMPONENT release)
install(CODE "set(programs [[${_package_names}]])" COMPONENT release)
# The programs are signed as installed into the package, so the build's own copies stay unsigned.
# The password goes to osslsigncode through a pipe from the environment, never in a file or on a
# command line, so an interrupted build leaves it nowhere.
if(MORVEX_SIGN_PKCS12)
  find_program(MORVEX_OSSLSIGNCODE osslsigncode REQUIRED)
  message(STATUS "Release package: signed with ${MORVEX_SIGN_PKCS12} "
                 "(password from the environment variable MORVEX_SIGN_PASSWORD)")
  if(NOT MORVEX_SIGN_TIMESTAMP_URL)
    # The certificate's end, when its password is at hand to read it.
    set(_expiry "")
    if(DEFINED ENV{MORVEX_SIGN_PASSWORD})
      execute_process(
        COMMAND openssl pkcs12 -in "${MORVEX_SIGN_PKCS12}" -nokeys -passin env:MORVEX_SIGN_PASSWORD
        COMMAND openssl x509 -noout -enddate
        OUTPUT_VARIABLE _expiry ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
      string(REGEX REPLACE "^notAfter=(.+)$" " on \\1" _expiry "${_expiry}")
    endif()
    message(WARNING "Release package: signed without a time stamp (no MORVEX_SIGN_TIMESTAMP_URL). "
                    "Such a signature is valid only while the certificate is: when the certificate "
                    "expires${_expiry}, Windows stops accepting the signed programs' signature. "
                    "Name the certificate authority's time-stamp server in "
                    "MORVEX_SIGN_TIMESTAMP_URL to keep it valid after that.")
  endif()
  install(CODE "set(osslsigncode [[${MORVEX_OSSLSIGNCODE}]])
    set(pkcs12 [[${MORVEX_SIGN_PKCS12}]])
    set(timestamp_url [[${MORVEX_SIGN_TIMESTAMP_URL}]])" COMPONENT release)
  install(CODE [[
    if(NOT DEFINED ENV{MORVEX_SIGN_PASSWORD})
      message(FATAL_ERROR "MORVEX_SIGN_PASSWORD is not set: it holds the password of ${pkcs12}")
    endif()
    set(timestamp "")
    if(timestamp_url)
      set(timestamp -ts "${timestamp_url}")
    endif()
    foreach(name IN LISTS programs)
      set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${name}")
      file(REMOVE "${exe}.signed")
      execute_process(
        COMMAND printenv MORVEX_SIGN_PASSWORD
        COMMAND "${osslsigncode}" sign -pkcs12 "${pkcs12}" -readpass - -h sha256
                -n "Morvex PLC Firmware Update Program" ${timestamp} -in "${exe}" -out "${exe}.signed"
        RESULTS_VARIABLE results OUTPUT_VARIABLE output ERROR_VARIABLE output)
      if(NOT results STREQUAL "0;0")
        message(FATAL_ERROR "Signing ${name} failed:\n${output}")
      endif()
      file(RENAME "${exe}.signed" "${exe}")
      message(NOTICE "${name} goes into the package signed with ${pkcs12}")
    endforeach()
  ]] COMPONENT release)
else()
  message(STATUS "Release package: unsigned (no MORVEX_SIGN_PKCS12 given)")
  install(CODE [[
    foreach(name IN LISTS programs)
      message(NOTICE "${name} goes into the package unsigned: no MORVEX_SIGN_PKCS12 configured")
    endforeach()
  ]] COMPONENT release)
endif()
# The sums of the files as installed, so that they describe exactly what the zip holds.
install(CODE [[
  set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  set(sums "")
  foreach(name IN LISTS programs ITEMS operator-guide.txt build-tools.txt)
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
# An earlier zip and sum removed and the date settled first; the zip written again in a fixed form
# (before its sum is taken), dated by the source.
set(CPACK_MORVEX_SOURCE_DIR "${CMAKE_SOURCE_DIR}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/PackageStart.cmake")
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

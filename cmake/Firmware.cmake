# The firmware image and its name: build inputs shared by the native and the Windows build.
set(FIRMWARE_DIR "${CMAKE_BINARY_DIR}/firmware")
set(FIRMWARE_BIN "${FIRMWARE_DIR}/firmware.bin")
set(FIRMWARE_DIGEST_H "${FIRMWARE_DIR}/firmware_digest.h")

if(FIRMWARE_IMAGE)
  set(_fw_args --from-file "${FIRMWARE_IMAGE}")
  set(_fw_deps "${FIRMWARE_IMAGE}")
else()
  set(_fw_args --size ${FIRMWARE_IMAGE_SIZE} --seed ${FIRMWARE_IMAGE_SEED})
  set(_fw_deps "")
endif()

add_custom_command(
  OUTPUT "${FIRMWARE_BIN}" "${FIRMWARE_DIGEST_H}"
  COMMAND "${Python3_EXECUTABLE}" "${CMAKE_SOURCE_DIR}/tools/firmware_image.py"
          --out "${FIRMWARE_BIN}" --header "${FIRMWARE_DIGEST_H}" ${_fw_args}
  DEPENDS "${CMAKE_SOURCE_DIR}/tools/firmware_image.py" ${_fw_deps}
  COMMENT "Preparing the firmware image"
  VERBATIM)
add_custom_target(firmware_image DEPENDS "${FIRMWARE_BIN}" "${FIRMWARE_DIGEST_H}")

configure_file("${CMAKE_SOURCE_DIR}/cmake/firmware_name.h.in" "${FIRMWARE_DIR}/firmware_name.h" @ONLY)

# Headers describing the image (name, size, digest) for code and tests.
add_library(firmware_info INTERFACE)
target_include_directories(firmware_info INTERFACE "${FIRMWARE_DIR}")
add_dependencies(firmware_info firmware_image)

if(WIN32)
  # Resource scripts: the image alone (for tests that load it from their own module), and the
  # program's full set (icon, logo, image, version).
  configure_file("${CMAKE_SOURCE_DIR}/resources/firmware.rc.in" "${FIRMWARE_DIR}/firmware.rc" @ONLY)
  configure_file("${CMAKE_SOURCE_DIR}/resources/app.rc.in" "${FIRMWARE_DIR}/app.rc" @ONLY)
  set(FIRMWARE_RC "${FIRMWARE_DIR}/firmware.rc")
  set(APP_RC "${FIRMWARE_DIR}/app.rc")
endif()

# Adds a resource script to a target. windres does not track the files a script includes: name
# them, so that a new image, icon, logo or manifest rebuilds the resources. (Source properties
# belong to the directory of the target, hence a function.)
function(morvex_add_resources target rc)
  target_sources(${target} PRIVATE "${rc}")
  set_source_files_properties("${rc}" PROPERTIES OBJECT_DEPENDS
    "${FIRMWARE_BIN};${FIRMWARE_DIR}/firmware.rc;${CMAKE_SOURCE_DIR}/resources/icon.ico;${CMAKE_SOURCE_DIR}/resources/logo.bmp;${CMAKE_SOURCE_DIR}/resources/app.manifest")
  add_dependencies(${target} firmware_image)
endfunction()

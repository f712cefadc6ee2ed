# CPack post-build step: each zip written again in order (tools/reproducible_zip.py), dated as
# cmake/PackageStart.cmake settled.
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  execute_process(
    COMMAND "${CPACK_MORVEX_PYTHON}" "${CPACK_MORVEX_SOURCE_DIR}/tools/reproducible_zip.py"
            "${zip}" "${CPACK_MORVEX_SECONDS}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot write ${zip} again in its fixed form")
  endif()
endforeach()

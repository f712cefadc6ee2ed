# CPack post-build step: each zip written again in order, dated by the source (tools/
# reproducible_zip.py). The date is the last commit's time; without git, SOURCE_DATE_EPOCH, or
# else the earliest date a zip can hold.
set(seconds "$ENV{SOURCE_DATE_EPOCH}")
execute_process(
  COMMAND git -C "${CPACK_MORVEX_SOURCE_DIR}" log -1 --format=%ct
  RESULT_VARIABLE result OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(result EQUAL 0 AND commit_time MATCHES "^[0-9]+$")
  set(seconds "${commit_time}")
elseif(NOT seconds MATCHES "^[0-9]+$")
  set(seconds 315532800)
endif()
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
  execute_process(
    COMMAND "${CPACK_MORVEX_PYTHON}" "${CPACK_MORVEX_SOURCE_DIR}/tools/reproducible_zip.py"
            "${zip}" "${seconds}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot write ${zip} again in its fixed form")
  endif()
endforeach()

# CPack's first step for the release package (CPACK_PROJECT_CONFIG_FILE). The zip and the sum of an
# earlier run go, so that a run that fails leaves neither. Then the package's date is settled for
# cmake/ReproducibleZip.cmake: SOURCE_DATE_EPOCH when set; else the last commit, when the source
# folder is the top of its git work tree; else no package, since any other date would be a guess.
file(REMOVE "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip"
     "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.zip.sha256")

set(source "${CPACK_MORVEX_SOURCE_DIR}")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(CPACK_MORVEX_SECONDS "$ENV{SOURCE_DATE_EPOCH}")
  set(from "SOURCE_DATE_EPOCH")
  if(NOT CPACK_MORVEX_SECONDS MATCHES "^[0-9]+$")
    message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"${CPACK_MORVEX_SECONDS}\": it must be a Unix time "
                        "in seconds, such as the output of: git log -1 --format=%ct")
  endif()
else()
  execute_process(
    COMMAND git -C "${source}" rev-parse --show-toplevel
    RESULT_VARIABLE result OUTPUT_VARIABLE top ERROR_VARIABLE why OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${source}" source)
  if(result EQUAL 0)
    file(REAL_PATH "${top}" top)
  endif()
  if(NOT result EQUAL 0 OR NOT top STREQUAL source)
    message(FATAL_ERROR "Cannot date the release package: SOURCE_DATE_EPOCH is not set, and "
                        "${source} is not the top of a git work tree (a source tarball?), so it "
                        "has no last commit of its own. Set SOURCE_DATE_EPOCH to the Unix time of "
                        "the release's commit (git log -1 --format=%ct in a clone).\n${why}")
  endif()
  execute_process(COMMAND git -C "${source}" log -1 --format=%ct:%h
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE ":" ";" commit "${commit}")
  list(GET commit 0 CPACK_MORVEX_SECONDS)
  list(GET commit 1 hash)
  set(from "the last commit of ${source}, ${hash}")
endif()
# string(TIMESTAMP) tells the time of SOURCE_DATE_EPOCH when that is set.
set(saved "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_MORVEX_SECONDS}")
string(TIMESTAMP date "%Y-%m-%d %H:%M:%S UTC" UTC)
set(ENV{SOURCE_DATE_EPOCH} "${saved}")
message(STATUS "The package's files are dated ${date}, from ${from}")

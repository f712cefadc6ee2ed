# Test tools that live on wine's 64-bit side whatever the width of the program under test: the
# kernel driver of the simulated USB device (a driver must match the system's width) and the
# program that drives the window (64-bit, like most of what runs beside the program on a PC).
# In the x86-64 build they are ordinary targets; in the 32-bit build the x86-64 tool chain
# builds them.
#   morvex_x64_tool(TARGET OUTPUT_FILE LANGUAGE SOURCE OPTIONS...)
function(morvex_x64_tool target output lang source)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    message(FATAL_ERROR "morvex_x64_tool is for the 32-bit build only")
  endif()
  if(lang STREQUAL "C")
    find_program(MORVEX_X64_CC NAMES x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-gcc REQUIRED)
    set(compiler "${MORVEX_X64_CC}")
  else()
    find_program(MORVEX_X64_CXX NAMES x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++ REQUIRED)
    set(compiler "${MORVEX_X64_CXX}" -std=c++17)
  endif()
  add_custom_command(
    OUTPUT "${output}"
    COMMAND ${compiler} -O2 -Wall -Wextra -Werror -o "${output}" "${source}" ${ARGN}
    DEPENDS "${source}"
    COMMENT "Building ${target} for x86-64"
    VERBATIM)
  add_custom_target(${target} DEPENDS "${output}")
endfunction()

# The Debian architecture to build for: this machine's own when empty, or
# another (arm64, say), with Debian's cross compiler for it. A build folder
# holds one architecture: its compiler is chosen once, at the first
# configure.
set(KESTRUNE_ARCH "" CACHE STRING "Debian architecture to build for (default: this machine's)")
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE KESTRUNE_HOST_ARCH
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT KESTRUNE_ARCH)
  set(KESTRUNE_ARCH "${KESTRUNE_HOST_ARCH}" CACHE STRING "" FORCE)
endif()
if(DEFINED CACHE{KESTRUNE_CONFIGURED_ARCH} AND NOT KESTRUNE_ARCH STREQUAL KESTRUNE_CONFIGURED_ARCH)
  message(FATAL_ERROR "${CMAKE_BINARY_DIR} builds for ${KESTRUNE_CONFIGURED_ARCH}: "
                      "configure ${KESTRUNE_ARCH} in a folder of its own (-B build-${KESTRUNE_ARCH})")
endif()
if(NOT KESTRUNE_ARCH STREQUAL KESTRUNE_HOST_ARCH)
  set(CMAKE_TOOLCHAIN_FILE ${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
endif()

# The toolchain for another Debian architecture than this machine's, the one
# that KESTRUNE_ARCH names (arm64, say): Debian's cross g++ for it, musl from
# musl-dev:ARCH, and qemu-user to run the programs that configure runs. The
# names come from dpkg-architecture; what is missing is said in one line.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRUNE_ARCH)
set(CMAKE_SYSTEM_NAME Linux)

find_program(KESTRUNE_DPKG_ARCHITECTURE dpkg-architecture)
if(NOT KESTRUNE_DPKG_ARCHITECTURE)
  message(FATAL_ERROR "building for ${KESTRUNE_ARCH} asks dpkg-architecture for its names: "
                      "apt-get install dpkg-dev")
endif()
foreach(name GNU_TYPE GNU_CPU)
  # It warns on standard error that the host's compiler is not the target's.
  execute_process(COMMAND ${KESTRUNE_DPKG_ARCHITECTURE} -a${KESTRUNE_ARCH} -qDEB_HOST_${name}
                  OUTPUT_VARIABLE ${name} OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_VARIABLE error RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${KESTRUNE_ARCH} is not a Debian architecture: ${error}")
  endif()
endforeach()
set(CMAKE_SYSTEM_PROCESSOR ${GNU_CPU})

# qemu-user's name for the processor: the release's table of architectures
# has it where it differs from GNU's (i386 for i686, ppc64le for
# powerpc64le); for another architecture, GNU's.
set(qemu_cpu ${GNU_CPU})
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../packaging/architectures row REGEX "^${KESTRUNE_ARCH}\\|")
if(row)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 2 qemu_cpu)
endif()
find_program(KESTRUNE_CROSS_CXX ${GNU_TYPE}-g++)
find_program(KESTRUNE_EMULATOR NAMES qemu-${qemu_cpu}-static qemu-${qemu_cpu})
execute_process(COMMAND dpkg-query -W -f=\${Status} musl-dev:${KESTRUNE_ARCH}
                OUTPUT_VARIABLE musl_status ERROR_QUIET)
set(missing)
if(NOT KESTRUNE_CROSS_CXX)
  list(APPEND missing g++-${GNU_TYPE})
endif()
if(NOT musl_status MATCHES "ok installed")
  list(APPEND missing musl-dev:${KESTRUNE_ARCH})
endif()
if(NOT KESTRUNE_EMULATOR)
  list(APPEND missing qemu-user-static)
endif()
if(missing)
  # Cached results would hide what is installed later.
  unset(KESTRUNE_CROSS_CXX CACHE)
  unset(KESTRUNE_EMULATOR CACHE)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "building for ${KESTRUNE_ARCH} needs ${missing}: dpkg --add-architecture "
                      "${KESTRUNE_ARCH} && apt-get update && apt-get install ${missing} "
                      "(bash scripts/deps release installs them for every architecture)")
endif()
set(CMAKE_CXX_COMPILER ${KESTRUNE_CROSS_CXX})
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_EMULATOR})

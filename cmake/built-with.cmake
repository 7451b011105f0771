# The package of FILE, the compiler or the linker, with its version; or
# FILE with the version that the compiler says, where no package has it.
function(kestrune_package_of file out)
  file(REAL_PATH "${file}" path)
  execute_process(COMMAND dpkg-query -S "${path}" OUTPUT_VARIABLE owner ERROR_QUIET)
  string(REGEX MATCH "^[^ ,]+" package "${owner}")
  string(REGEX REPLACE ":$" "" package "${package}")
  execute_process(COMMAND dpkg-query -W -f=\${Version} "${package}" OUTPUT_VARIABLE version
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(package AND NOT failed)
    set(${out} "${package} ${version}" PARENT_SCOPE)
  else()
    set(${out} "${path} (no package; compiler ${CMAKE_CXX_COMPILER_VERSION})" PARENT_SCOPE)
  endif()
endfunction()

# What the tool is built with, said in one line and kept as KEY=VALUE lines
# in the build folder's "built-with", for a release to record and check: the
# architecture, the compiler, the binutils, the C library as Debian packages
# them, how the tool is linked (link: static-pie, static or dynamic) and
# that said in words.
if(KESTRUNE_LIBC STREQUAL musl)
  set(libc_dev musl-dev)
  set(how "${KESTRUNE_MUSL_WAY}")
  set(link static)
  if(KESTRUNE_MUSL_PIE)
    set(link static-pie)
  endif()
elseif(KESTRUNE_STATIC)
  set(libc_dev libc6-dev)
  set(how "linked statically against glibc")
  set(link static)
else()
  set(libc_dev libc6-dev)
  set(how "linked dynamically against glibc")
  set(link dynamic)
endif()
if(KESTRUNE_ARCH)
  # One architecture's package: the machine may have several.
  string(APPEND libc_dev :${KESTRUNE_ARCH})
endif()
execute_process(COMMAND dpkg-query -W "-f=\${Version}\n\${source:Package} (= \${source:Version})" ${libc_dev}
                OUTPUT_VARIABLE libc RESULT_VARIABLE no_libc_package ERROR_QUIET)
if(no_libc_package)
  set(libc_version "(not from a Debian package)")
else()
  string(REGEX REPLACE "\n.*" "" libc_version "${libc}")
  string(REGEX REPLACE "^[^\n]*\n" "" KESTRUNE_BUILT_USING "${libc}")
endif()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-prog-name=ld OUTPUT_VARIABLE ld
                OUTPUT_STRIP_TRAILING_WHITESPACE)
# A bare name is the one on the PATH.
find_program(linker "${ld}" NO_CACHE)
kestrune_package_of("${CMAKE_CXX_COMPILER}" compiler)
kestrune_package_of("${linker}" binutils)
get_filename_component(compiler_name "${CMAKE_CXX_COMPILER}" NAME)
message(STATUS "kestrune for ${KESTRUNE_ARCH}: ${how} (${compiler_name} "
               "${CMAKE_CXX_COMPILER_VERSION}, ${libc_dev} ${libc_version})")
file(WRITE ${CMAKE_BINARY_DIR}/built-with "arch=${KESTRUNE_ARCH}\ncompiler=${compiler}\nbinutils=${binutils}\n"
                                         "libc=${libc_dev} ${libc_version}\nlink=${link}\nhow=${how}\n")

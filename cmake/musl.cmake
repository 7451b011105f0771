# g++ builds against musl through the specs file that musl's own gcc
# wrapper hands to gcc: musl-gcc, or for another architecture the wrapper
# that its musl-dev names. Whether a static PIE can be made that way is asked
# of the toolchain, by linking a small program in each way in turn and
# running it (through the architecture's emulator), never read from the
# file's text, which each packaging of musl words its own way. A probe that
# did not run tells nothing, and stops the configure. Sets
# KESTRUNE_MUSL_COMPILE, KESTRUNE_MUSL_LINK, KESTRUNE_MUSL_PIE and
# KESTRUNE_MUSL_WAY.
function(kestrune_musl)
  if(CMAKE_CROSSCOMPILING)
    execute_process(COMMAND dpkg-query -L musl-dev:${KESTRUNE_ARCH} OUTPUT_VARIABLE files ERROR_QUIET)
    string(REGEX MATCH "/usr/bin/[^/\n]+-gcc" wrapper "${files}")
    set(KESTRUNE_MUSL_GCC "${wrapper}" CACHE FILEPATH "musl's gcc wrapper")
  else()
    find_program(KESTRUNE_MUSL_GCC musl-gcc)
  endif()
  if(NOT KESTRUNE_MUSL_GCC)
    message(FATAL_ERROR "musl-gcc not found: apt-get install musl-tools (or -DKESTRUNE_LIBC=glibc)")
  endif()
  # The wrapper runs $REALGCC with the specs option added: with echo in
  # gcc's place it tells which file that is.
  execute_process(COMMAND env REALGCC=echo ${KESTRUNE_MUSL_GCC}
                  OUTPUT_VARIABLE said OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REGEX MATCH "-specs[ =]([^ ]+)" _ "${said}")
  set(specs "${CMAKE_MATCH_1}")
  if(NOT EXISTS "${specs}")
    message(FATAL_ERROR "${KESTRUNE_MUSL_GCC} names no specs file (it said '${said}'): "
                        "reinstall musl-tools (or -DKESTRUNE_LIBC=glibc)")
  endif()
  get_filename_component(libdir "${specs}" DIRECTORY)
  # For a musl whose specs know no static PIE: its start file, and the
  # link flags that gcc's own specs give one, chosen only for -static-pie.
  set(own "${CMAKE_BINARY_DIR}/musl-static-pie.specs")
  file(WRITE "${own}" "%rename startfile musl_startfile
%rename link musl_link

*startfile:
%{static-pie:${libdir}/rcrt1.o ${libdir}/crti.o crtbeginS.o%s;:%(musl_startfile)}

*link:
%{static-pie:-nostdlib -static -pie --no-dynamic-linker -z text;:%(musl_link)}
")
  set(ways "a static PIE, linked with musl's specs alone"
           "a static PIE, linked with musl's specs and our start file for it"
           "a plain static binary: this toolchain makes no static PIE")
  set(specs_0 -specs=${specs})
  set(specs_1 -specs=${specs} -specs=${own})
  set(specs_2 -specs=${specs})
  set(compile_0 -fPIE)
  set(compile_1 -fPIE)
  set(link_0 -static-pie)
  set(link_1 -static-pie)
  set(link_2 -static)
  set(probe "${CMAKE_BINARY_DIR}/static-pie-probe")
  foreach(way 0 1 2)
    file(REMOVE "${probe}")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${specs_${way}} ${compile_${way}} ${link_${way}}
                            -fno-exceptions -fno-rtti -nodefaultlibs -o "${probe}"
                            "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/static-pie-probe.cpp"
                            -Wl,--start-group -lc -lgcc -Wl,--end-group
                    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE error)
    if(NOT failed)
      execute_process(COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} "${probe}" RESULT_VARIABLE status
                      OUTPUT_VARIABLE kind ERROR_VARIABLE error OUTPUT_STRIP_TRAILING_WHITESPACE)
      if(NOT kind MATCHES "^(static-pie|static|dynamic)$")
        message(FATAL_ERROR "the probe linked for ${KESTRUNE_ARCH} did not run "
                            "(${CMAKE_CROSSCOMPILING_EMULATOR} ${probe}: status ${status}): ${error}")
      endif()
      # A static PIE from the first two ways; a static binary, at least,
      # from the last.
      if(kind STREQUAL "static-pie" OR (way EQUAL 2 AND NOT kind STREQUAL "dynamic"))
        set(chosen ${way})
        break()
      endif()
    endif()
    if(way EQUAL 2)
      message(FATAL_ERROR "cannot link a static binary against musl with ${specs}:\n${error}")
    endif()
  endforeach()
  file(REMOVE "${probe}")
  if(chosen LESS 2)
    set(KESTRUNE_MUSL_PIE ON PARENT_SCOPE)
  else()
    set(KESTRUNE_MUSL_PIE OFF PARENT_SCOPE)
  endif()
  list(GET ways ${chosen} how)
  set(KESTRUNE_MUSL_WAY "${how}" PARENT_SCOPE)
  set(KESTRUNE_MUSL_COMPILE ${specs_${chosen}} ${compile_${chosen}} PARENT_SCOPE)
  set(KESTRUNE_MUSL_LINK ${specs_${chosen}} ${link_${chosen}} PARENT_SCOPE)
endfunction()

kestrune_musl()

# The RPM package, beside the Debian one: "cmake --build BUILD --target rpm"
# makes BUILD/kestrune-VERSION-1.ARCH.rpm, ARCH being RPM's name for the
# architecture built for (packaging/architectures), from the tool installed
# stripped. An architecture that RPM has no name for gets no such target.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/architectures row REGEX "^${KESTRUNE_ARCH}\\|")
if(row)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 1 KESTRUNE_RPM_ARCH)
endif()
if(KESTRUNE_RPM_ARCH AND NOT KESTRUNE_RPM_ARCH STREQUAL "-")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/kestrune.rpm.in kestrune.rpm.in @ONLY)
  set(KESTRUNE_RPM ${CMAKE_BINARY_DIR}/kestrune-${PROJECT_VERSION}-1.${KESTRUNE_RPM_ARCH}.rpm)
  add_custom_target(rpm
                    COMMAND ${CMAKE_COMMAND} -E rm -rf ${CMAKE_BINARY_DIR}/rpm
                    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --strip
                            --prefix ${CMAKE_BINARY_DIR}/rpm/stage
                    COMMAND ${CMAKE_COMMAND} -D recipe=${CMAKE_BINARY_DIR}/kestrune.rpm.in
                            -D arch=${KESTRUNE_RPM_ARCH} -D top=${CMAKE_BINARY_DIR}/rpm
                            -D source=${CMAKE_SOURCE_DIR} -D out=${KESTRUNE_RPM}
                            -P ${CMAKE_CURRENT_LIST_DIR}/rpmbuild.cmake
                    DEPENDS kestrune docs VERBATIM)
endif()

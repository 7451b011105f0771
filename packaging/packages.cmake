# The packages, included by CMakeLists.txt once the tool, its manual page and
# its documents are installed: what both packages say of the tool, the
# Debian package (made by CPack: "cmake --build BUILD --target package"),
# then the RPM package (rpm.cmake).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_CONTACT "kestrune maintainers <maintainers@users.noreply.c-seed-39536c8e.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# The long description, the Debian package's and the RPM package's.
set(KESTRUNE_DESCRIPTION "\
Runs one shell command in its own PID, mount and UTS namespaces, with the
host name kestrune and a fresh /proc, so that ps inside shows only the
container's processes. Needs root; not a security boundary.")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${KESTRUNE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
if(KESTRUNE_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTRUNE_ARCH})
endif()
set(CPACK_KESTRUNE_SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/reproducible.cmake)
if(KESTRUNE_LIBC STREQUAL musl OR KESTRUNE_STATIC)
  # A static binary needs nothing at run time but a kernel with namespaces;
  # Debian asks it to name the C library it carries.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
  # lintian takes a static PIE for a shared library without dependencies,
  # and a plain static binary for a mistake: the override says why it is so.
  set(KESTRUNE_STATIC_TAG statically-linked-binary)
  if(KESTRUNE_LIBC STREQUAL musl AND KESTRUNE_MUSL_PIE)
    set(KESTRUNE_STATIC_TAG shared-library-lacks-prerequisites)
  endif()
  if(KESTRUNE_BUILT_USING)
    set(CPACK_KESTRUNE_BUILT_USING "${KESTRUNE_BUILT_USING}")
    set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/built-using.cmake)
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/lintian-overrides.in lintian-overrides @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME kestrune)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
include(${CMAKE_CURRENT_LIST_DIR}/rpm.cmake)

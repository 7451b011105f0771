# Run by CPack after it has made the Debian package: adds the Built-Using
# field, which CPack cannot write, naming the C library linked in.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  set(dir "${deb}.tree")
  file(REMOVE_RECURSE "${dir}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${dir}" COMMAND_ERROR_IS_FATAL ANY)
  file(READ "${dir}/DEBIAN/control" control)
  string(STRIP "${control}" control)
  file(WRITE "${dir}/DEBIAN/control" "${control}\nBuilt-Using: ${CPACK_KESTRUNE_BUILT_USING}\n")
  execute_process(COMMAND dpkg-deb --root-owner-group --build "${dir}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${dir}")
endforeach()

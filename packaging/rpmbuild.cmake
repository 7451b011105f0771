# Run by the target rpm: packs RECIPE for ARCH with rpmbuild in the folder TOP
# (where the tool is installed, in stage/) and puts the package at OUT.
find_program(rpmbuild rpmbuild)
if(NOT rpmbuild)
  message(FATAL_ERROR "the RPM package is made by rpmbuild: apt-get install rpm")
endif()
# The same commit packs to the same file, in any folder and at any time:
# every time in the package is SOURCE_DATE_EPOCH (the commit's, as for the
# Debian package, unless the builder gives one), the build host a fixed
# name, the payload compressed by gzip, which always packs alike.
set(CPACK_KESTRUNE_SOURCE_DIR "${source}")
include(${CMAKE_CURRENT_LIST_DIR}/reproducible.cmake)
execute_process(COMMAND ${rpmbuild} -bb --quiet --target ${arch} --define "_topdir ${top}"
                        --define "stage ${top}/stage" --define "source ${source}"
                        --define "_buildhost reproducible" --define "use_source_date_epoch_as_buildtime 1"
                        --define "clamp_mtime_to_source_date_epoch 1" --define "_binary_payload w9.gzdio"
                        ${recipe}
                COMMAND_ERROR_IS_FATAL ANY)
file(GLOB made "${top}/RPMS/*/*.rpm")
file(COPY_FILE "${made}" "${out}")

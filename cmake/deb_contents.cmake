# Run by CPack on the files it is about to package, to give them what Debian asks of a package
# beyond what cmake --install puts in place: manual pages compressed with gzip -9n (no name or time
# in the header), and the license as the package's copyright file.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
# Without it CPack only says so, and makes a package that depends on nothing.
find_program(shlibdeps dpkg-shlibdeps)
if(NOT shlibdeps)
  message(FATAL_ERROR "dpkg-shlibdeps, which finds the packages the program needs, is missing: "
                      "apt-get install dpkg-dev")
endif()
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
file(GLOB_RECURSE pages "${root}/${CPACK_TRIPLE_TABLE_MANDIR}/*")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9n "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# Not file(INSTALL), which would put it under DESTDIR, where CPack stages the files.
set(doc "${root}/share/doc/${CPACK_DEBIAN_PACKAGE_NAME}")
file(COPY "${CPACK_TRIPLE_TABLE_LICENSE}" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(RENAME "${doc}/LICENSE" "${doc}/copyright")

# Run by CPack on the files it is about to package, to give them what Debian asks of a package
# beyond what cmake --install puts in place: programs without the sections strip leaves, manual pages
# compressed with gzip -9n (no name or time in the header), the license as the package's copyright
# file, and a changelog.
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
# As dh_strip does: the compiler's name and version, which nothing reads.
file(GLOB programs "${root}/bin/*")
foreach(program IN LISTS programs)
  execute_process(COMMAND "${CPACK_OBJCOPY_EXECUTABLE}" --remove-section=.comment
                          --remove-section=.note "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE pages "${root}/${CPACK_TRIPLE_TABLE_MANDIR}/*")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9n "${page}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
# Not file(INSTALL), which would put it under DESTDIR, where CPack stages the files.
set(doc "${root}/share/doc/${CPACK_DEBIAN_PACKAGE_NAME}")
file(COPY "${CPACK_TRIPLE_TABLE_LICENSE}" DESTINATION "${doc}"
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(RENAME "${doc}/LICENSE" "${doc}/copyright")
# The package is built from its own source, so Debian takes it for a native one, whose changelog is
# changelog.gz, in Debian's form. The date honours SOURCE_DATE_EPOCH.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${doc}/changelog"
     "${CPACK_DEBIAN_PACKAGE_NAME} (${CPACK_PACKAGE_VERSION}) UNRELEASED; urgency=medium\n\n"
     "  * Built from triple_table ${CPACK_PACKAGE_VERSION} by CPack.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")
execute_process(COMMAND gzip -9n "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD "${doc}/changelog.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Run by cpack after it has installed the project into the package's tree: adds what a Debian
# package carries beyond `cmake --install`, compressed the way Debian policy asks.
set(tree ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(docs ${tree}/share/doc/${CPACK_PACKAGE_NAME})

# The changelog and the manual page are written by hand: both must name the version packaged.
file(STRINGS ${CPACK_ONDREL_PACKAGING_DIR}/changelog top LIMIT_COUNT 1)
if(NOT top MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${top}\": add an entry for "
                      "${CPACK_PACKAGE_VERSION}")
endif()
file(STRINGS ${tree}/share/man/man1/ondrel.1 title REGEX "^\\.TH ")
if(NOT title MATCHES "\"${CPACK_PACKAGE_NAME} ${CPACK_PACKAGE_VERSION}\"")
  message(FATAL_ERROR "doc/ondrel.1 has \"${title}\": update it for ${CPACK_PACKAGE_VERSION}")
endif()

file(COPY ${CPACK_ONDREL_PACKAGING_DIR}/copyright DESTINATION ${docs})
file(COPY ${CPACK_ONDREL_PACKAGING_DIR}/changelog DESTINATION ${docs})
# -n leaves the name and time out of the header, so the same sources give the same package.
foreach(file ${docs}/changelog ${tree}/share/man/man1/ondrel.1)
  execute_process(COMMAND gzip -9nf ${file} COMMAND_ERROR_IS_FATAL ANY)
endforeach()

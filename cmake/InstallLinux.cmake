# The runtime component on Linux, laid out as a Debian package wants it:
# the program, its manual page and, for each package, a doc folder with the
# copyright file and the changelog (both compressed with gzip -9n, so that
# the same sources give the same bytes).
find_program(GLOBALTOOLS_GZIP gzip REQUIRED)

set(GLOBALTOOLS_DOC_RUNTIME ${CMAKE_INSTALL_DATAROOTDIR}/doc/${GLOBALTOOLS_RUNTIME_PACKAGE})
set(GLOBALTOOLS_DOC_DEV ${CMAKE_INSTALL_DATAROOTDIR}/doc/${GLOBALTOOLS_DEV_PACKAGE})
set(GLOBALTOOLS_PACKAGE_DATE "Mon, 07 Dec 2026 09:00:00 +0000" CACHE STRING
    "Date of the changelog entry of this version (RFC 5322)")

configure_file(driver/atcmd.1 ${CMAKE_CURRENT_BINARY_DIR}/atcmd.1 @ONLY)
configure_file(packaging/debian/changelog.in ${CMAKE_CURRENT_BINARY_DIR}/changelog @ONLY)
set(compressed "")
foreach(name atcmd.1 changelog)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz
    COMMAND ${GLOBALTOOLS_GZIP} -9nkf ${CMAKE_CURRENT_BINARY_DIR}/${name}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${name}
    COMMENT "Compressing ${name}")
  list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${name}.gz)
endforeach()
add_custom_target(package_documents ALL DEPENDS ${compressed})

install(TARGETS atcmd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
globaltools_strip_installed(runtime ${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:atcmd>)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/atcmd.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
install(FILES README.md DESTINATION ${GLOBALTOOLS_DOC_RUNTIME} COMPONENT runtime)
install(FILES docs/library.md DESTINATION ${GLOBALTOOLS_DOC_DEV} COMPONENT development)
foreach(pair "runtime;${GLOBALTOOLS_DOC_RUNTIME}" "development;${GLOBALTOOLS_DOC_DEV}")
  list(GET pair 0 component)
  list(GET pair 1 folder)
  install(FILES packaging/debian/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
          DESTINATION ${folder} COMPONENT ${component})
endforeach()

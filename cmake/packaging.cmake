# Install rules and packages. Windows: a zip that a pack author unpacks next to the pack's
# material folder (the tools, the guide, the sample pack). Linux: a .deb with both tools and
# their manual pages.
# One command each: cmake --workflow --preset zip | deb.
if(WIN32)
  set(BREVLO_BIN_DIR .)
  set(BREVLO_DOC_DIR .)
  set(BREVLO_SAMPLE_DIR sample)
else()
  include(GNUInstallDirs)
  set(BREVLO_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(BREVLO_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(BREVLO_SAMPLE_DIR ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

install(TARGETS brevlo brevlo-catalog RUNTIME DESTINATION ${BREVLO_BIN_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/docs/pack-authors.md DESTINATION ${BREVLO_DOC_DIR}
  RENAME pack-guide.txt)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/pack/marks DESTINATION ${BREVLO_SAMPLE_DIR})
# The sample's catalog as packs ship it, in code page 936 (it is kept in UTF-8 here).
find_program(BREVLO_ICONV iconv)
if(BREVLO_ICONV)
  install(CODE "
    set(catalog \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${BREVLO_SAMPLE_DIR}/marks/config.xml\")
    execute_process(COMMAND \"${BREVLO_ICONV}\" -f UTF-8 -t CP936
      \"${CMAKE_SOURCE_DIR}/examples/pack/marks/config.xml\" OUTPUT_FILE \"\${catalog}\"
      RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR \"the sample catalog could not be converted to code page 936\")
    endif()")
else()
  message(WARNING "no iconv: the installed sample catalog stays in UTF-8")
endif()

# Linux: a manual page for each tool, compressed as Debian installs them (gzip -9n, so that the
# same page gives the same bytes), and the package's copyright file in Debian's format.
if(NOT WIN32)
  find_program(BREVLO_GZIP gzip REQUIRED)
  set(pages)
  foreach(page brevlo brevlo-catalog)
    configure_file(${CMAKE_SOURCE_DIR}/docs/man/${page}.1.in ${CMAKE_BINARY_DIR}/man/${page}.1 @ONLY)
    execute_process(COMMAND ${BREVLO_GZIP} -9n -c ${CMAKE_BINARY_DIR}/man/${page}.1
      OUTPUT_FILE ${CMAKE_BINARY_DIR}/man/${page}.1.gz COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND pages ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  endforeach()
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${BREVLO_DOC_DIR})
endif()

# Packaging installs what was built; it never starts a build of everything first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_PACKAGE_NAME brevlo)
set(CPACK_PACKAGE_VENDOR Brevlo)
set(CPACK_PACKAGE_CONTACT "Brevlo <brevlo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Imports MirvoPix material packs; checks packs before they ship")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY brevlo)
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME brevlo-${PROJECT_VERSION}-windows)
  # Unpacked straight into the pack's folder, beside its material folder.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS wine)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Brevlo imports a MirvoPix material pack into the MirvoPix installed in a Wine prefix\n(brevlo) and checks packs before they ship (brevlo-catalog check).")
endif()
include(CPack)

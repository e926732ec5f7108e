# Installed files beyond the programs, and the Debian package that holds them (make package).

# Manual pages and the changelog are installed compressed, as Debian wants them, without a
# time stamp in the gzip header so that the package is the same from one build to the next.
set(compressed)
foreach(source docs/rangeScanInspector.1 docs/scanlog.1 packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(output ${CMAKE_BINARY_DIR}/packaging/${name}.gz)
  add_custom_command(OUTPUT ${output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                     COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/${source} > ${output}
                     DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND compressed ${output})
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed})

# The licence in the machine-readable form Debian's copyright files use.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "\n$" "" licence "${licence}")
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REGEX REPLACE "\n" "\n " licence "${licence}")
file(READ ${CMAKE_SOURCE_DIR}/packaging/copyright copyright_head)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/copyright "${copyright_head} ${licence}\n")

set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/rangescaninspector)
install(FILES ${CMAKE_BINARY_DIR}/packaging/rangeScanInspector.1.gz ${CMAKE_BINARY_DIR}/packaging/scanlog.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${doc_dir})
install(FILES packaging/rangeScanInspector.desktop DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES packaging/rangescaninspector.xml DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/mime/packages)
install(FILES packaging/rangeScanInspector.svg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/scalable/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rangescaninspector)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The rangeScanInspector authors <rangescaninspector@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "replays and converts logs of planar laser range scans")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "rangeScanInspector replays a text log of planar laser range scans: it\n"
       "echoes every number of every scan to standard output and draws each scan,\n"
       "top-down, in a window. Its companion scanlog converts CARMEN logs and\n"
       "ROS 1 and ROS 2 bags (SQLite and MCAP) to scan files, plays a log at its\n"
       "recorded pace into the viewer, and reports on a log's health.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# Installing, and the Debian package: the programs, the desktop entry, the
# AppStream metadata, the icons, a man page for each program made from its
# --help, and the changelog and copyright file Debian asks for.
include(GNUInstallDirs)
# Debian's compression: -n leaves out the name and time, so the same text
# makes the same bytes.
find_program(GZIP gzip REQUIRED)

set(corvanta_programs)
foreach(program corvanta corvanta-cli corvanta-sim)
  if(TARGET ${program})
    list(APPEND corvanta_programs ${program})
  endif()
endforeach()
if(NOT corvanta_programs)
  return()
endif()
install(TARGETS ${corvanta_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(summary_corvanta "the window that steers a remote Bluetooth camera")
set(summary_corvanta-cli "drive a remote Bluetooth camera from the command line")
set(summary_corvanta-sim "a virtual Bluetooth module with cameras in range, on a pseudo-terminal")
set(man_pages)
foreach(program ${corvanta_programs})
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
            "-DSUMMARY=${summary_${program}}" -DOUTPUT=${CMAKE_BINARY_DIR}/man/${program}.1
            -P ${CMAKE_CURRENT_LIST_DIR}/help_to_man.cmake
    COMMAND ${GZIP} -9nf ${CMAKE_BINARY_DIR}/man/${program}.1
    DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/help_to_man.cmake
    COMMENT "Man page of ${program}" VERBATIM)
  list(APPEND man_pages ${page})
endforeach()
# The changelog, compressed as the man pages are.
set(changelog ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/debian/changelog ${CMAKE_BINARY_DIR}/doc/changelog
  COMMAND ${GZIP} -9nf ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
  COMMENT "Changelog" VERBATIM)
add_custom_target(corvanta_package_docs ALL DEPENDS ${man_pages} ${changelog})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(TARGET corvanta)
  install(FILES ${PROJECT_SOURCE_DIR}/app/corvanta.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/app/org.example.corvanta.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  foreach(size 16 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/app/icons/corvanta-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME corvanta.png)
  endforeach()
endif()
# The licence as Debian's copyright file, in its machine-readable form: the
# licence's copyright line, and its text indented, blank lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n" copyright_line "${license}")
set(copyright_line ${CMAKE_MATCH_1})
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n" "" license_body "${license}")
string(STRIP "${license_body}" license_body)
string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
string(REPLACE "\n" "\n " license_body " ${license_body}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${CMAKE_BINARY_DIR}/doc/copyright @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/doc/copyright ${changelog} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvanta)

set(CPACK_PACKAGE_NAME corvanta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Controller for a remote Bluetooth camera on a serial HCI module")
# One string: separate quoted arguments would make a list, whose ";" would
# open the description's lines.
set(CPACK_PACKAGE_DESCRIPTION "\
A window and a command-line driver that bring up a Bluetooth module on a
serial port (HCI over UART), discover and connect to a remote camera over one
L2CAP channel, steer it and fetch its picture; with a virtual module on a
pseudo-terminal for trying it without hardware.")
set(CPACK_PACKAGE_CONTACT "Corvanta developers <corvanta@example.org>")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

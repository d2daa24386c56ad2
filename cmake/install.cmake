# Installing, and the Debian package: the programs, the desktop entry, the
# icons, and a man page for each program made from its --help.
include(GNUInstallDirs)

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
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
            "-DSUMMARY=${summary_${program}}" -DOUTPUT=${page}
            -P ${CMAKE_CURRENT_LIST_DIR}/help_to_man.cmake
    DEPENDS ${program} ${CMAKE_CURRENT_LIST_DIR}/help_to_man.cmake
    COMMENT "Man page of ${program}" VERBATIM)
  list(APPEND man_pages ${page})
endforeach()
add_custom_target(corvanta_man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(TARGET corvanta)
  install(FILES ${PROJECT_SOURCE_DIR}/app/corvanta.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 16 32)
    install(FILES ${PROJECT_SOURCE_DIR}/app/icons/corvanta-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME corvanta.png)
  endforeach()
endif()
# Debian keeps the licence as the package's copyright file.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/corvanta RENAME copyright)

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

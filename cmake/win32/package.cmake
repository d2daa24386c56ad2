# The Windows program's packages, from the cross-build:
#   cpack -G NSIS   corvanta-<version>-win32-setup.exe, the installer
#   cpack -G ZIP    corvanta-<version>-win32.zip
# Both hold corvanta.exe (static: it needs nothing beside it), README.md and
# LICENSE.txt.
if(NOT TARGET corvanta)
  return()
endif()
install(TARGETS corvanta RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

set(CPACK_PACKAGE_NAME corvanta)
set(CPACK_PACKAGE_VENDOR "The Corvanta Controller developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Controller for a remote Bluetooth camera on a serial HCI module")
set(CPACK_PACKAGE_FILE_NAME corvanta-${PROJECT_VERSION}-win32)
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Corvanta Controller")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Corvanta Controller")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR NSIS ZIP)

# The installer's script is ours (NSIS.template.in beside this file): the
# one CMake ships installs for everyone only.
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_NSIS_PACKAGE_NAME "Corvanta Controller")
set(CPACK_NSIS_DISPLAY_NAME "Corvanta Controller")
set(CPACK_NSIS_INSTALLED_ICON_NAME corvanta.exe)
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/icons/icon107.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/icons/icon107.ico)
# The installer alone is named ...-setup.exe.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/per_generator.cmake)
include(CPack)

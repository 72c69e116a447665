# SPDX-License-Identifier: GPL-2.0-or-later
# Two ways out of the build tree:
# - `cmake --install` lays the files out as GNUInstallDirs says: the harness
#   in bin/ with its manual page in share/man/man1/, the plugin in a folder
#   of its own under the library folder (a host loads it; nothing links
#   against it), the README and the licence in the documentation folder;
# - the release archives (CPack) are flat: the module at the top, beside the
#   README and the licence, as users copy it into their emulator's plugins.
include(GNUInstallDirs)

set(HUSHLINK_INSTALL_PLUGINDIR ${CMAKE_INSTALL_LIBDIR}/hushlink)
set(HUSHLINK_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/hushlink)
set(release_files ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE)

install(TARGETS Hushlink
  LIBRARY DESTINATION ${HUSHLINK_INSTALL_PLUGINDIR}
  RUNTIME DESTINATION ${HUSHLINK_INSTALL_PLUGINDIR})
install(TARGETS hushlink-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${release_files} DESTINATION ${HUSHLINK_INSTALL_DOCDIR})
if(HUSHLINK_MAN_PAGE)
  install(FILES ${HUSHLINK_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The archive's own component, left out of a plain `cmake --install`.
install(TARGETS Hushlink
  LIBRARY DESTINATION . COMPONENT release EXCLUDE_FROM_ALL
  RUNTIME DESTINATION . COMPONENT release EXCLUDE_FROM_ALL)
if(NOT WIN32)
  install(TARGETS hushlink-host RUNTIME DESTINATION . COMPONENT release EXCLUDE_FROM_ALL)
endif()
if(HUSHLINK_MAN_PAGE)
  install(FILES ${HUSHLINK_MAN_PAGE} DESTINATION . COMPONENT release EXCLUDE_FROM_ALL)
endif()
install(FILES ${release_files} DESTINATION . COMPONENT release EXCLUDE_FROM_ALL)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL release)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_NAME Hushlink)
set(CPACK_PACKAGE_VENDOR "Hushlink developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "A null FireWire controller plugin")
set(CPACK_PACKAGE_FILE_NAME Hushlink-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)

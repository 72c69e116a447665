# SPDX-License-Identifier: GPL-2.0-or-later
# Two ways out of the build tree:
# - `cmake --install` lays the files out as GNUInstallDirs says: the harness
#   in bin/ with its manual page in share/man/man1/, the plugin in a folder
#   of its own under the library folder (a host loads it; nothing links
#   against it), the README and the licence in the documentation folder;
# - the release archives are flat: the module at the top, beside the README
#   and the licence, as users copy it into their emulator's plugins. The
#   "release" component holds their files; scripts/package.sh makes them.
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

# The archive's name and kind, for scripts/package.sh, which makes it.
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(release_system win32)
  else()
    set(release_system win64)
  endif()
  set(release_extension zip)
else()
  set(release_system linux-${CMAKE_SYSTEM_PROCESSOR})
  set(release_extension tar.gz)
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/release-archive-name
  CONTENT "Hushlink-${PROJECT_VERSION}-${release_system}.${release_extension}\n")

# SPDX-License-Identifier: GPL-2.0-or-later
# The module's export lists, made from the one list of entry points in
# plugin/hushlink.h (its HUSHLINK_ENTRY_POINTS lines, "X(name, number, type)"):
# the Windows module-definition file, which gives each plain name its export
# number, and the Linux version script, which exports those names and hides
# everything else. Made again whenever the header changes.
function(hushlink_export_lists header def_file map_file)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(READ ${header} text)
  string(REGEX MATCHALL "\n *X\\([A-Za-z0-9_]+, [0-9]+, [A-Za-z0-9_]+\\)" rows "${text}")
  if(NOT rows)
    message(FATAL_ERROR "${header} lists no entry points in HUSHLINK_ENTRY_POINTS")
  endif()
  set(def "; SPDX-License-Identifier: GPL-2.0-or-later\n; Made from plugin/hushlink.h.\n")
  string(APPEND def "LIBRARY Hushlink.dll\nEXPORTS\n")
  set(map "/* SPDX-License-Identifier: GPL-2.0-or-later */\n/* Made from plugin/hushlink.h. */\n")
  string(APPEND map "{\n  global:\n")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "X\\(([A-Za-z0-9_]+), ([0-9]+)," _ "${row}")
    string(APPEND def "  ${CMAKE_MATCH_1} @${CMAKE_MATCH_2}\n")
    string(APPEND map "    ${CMAKE_MATCH_1};\n")
  endforeach()
  string(APPEND map "  local: *;\n};\n")
  file(CONFIGURE OUTPUT ${def_file} CONTENT "${def}" @ONLY)
  file(CONFIGURE OUTPUT ${map_file} CONTENT "${map}" @ONLY)
endfunction()

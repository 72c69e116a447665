# SPDX-License-Identifier: GPL-2.0-or-later
# The entry points as tests/expected.h states them, for the CMake scripts
# that check the modules' images: include() it, then
#   EXPECTED_NAMES         the thirteen plain names, sorted
#   EXPECTED_EXPORTS       NAME@NUMBER for each, sorted
#   EXPECTED_NUMBERS       the export numbers in use, ascending
#   EXPECTED_STDCALL       NAME@BYTES for each, as a 32-bit compiler decorates it
file(READ ${CMAKE_CURRENT_LIST_DIR}/expected.h expected_header)
string(REGEX MATCHALL "\n *X\\([A-Za-z0-9_]+, [0-9]+, [0-9]+\\)" expected_rows "${expected_header}")
set(EXPECTED_NAMES)
set(EXPECTED_EXPORTS)
set(EXPECTED_NUMBERS)
set(EXPECTED_STDCALL)
foreach(row IN LISTS expected_rows)
  string(REGEX MATCH "X\\(([A-Za-z0-9_]+), ([0-9]+), ([0-9]+)\\)" _ "${row}")
  list(APPEND EXPECTED_NAMES ${CMAKE_MATCH_1})
  list(APPEND EXPECTED_EXPORTS ${CMAKE_MATCH_1}@${CMAKE_MATCH_2})
  list(APPEND EXPECTED_NUMBERS ${CMAKE_MATCH_2})
  list(APPEND EXPECTED_STDCALL ${CMAKE_MATCH_1}@${CMAKE_MATCH_3})
endforeach()
list(LENGTH EXPECTED_NAMES expected_count)
if(NOT expected_count EQUAL 13)
  message(FATAL_ERROR "tests/expected.h lists ${expected_count} entry points, not thirteen")
endif()
list(SORT EXPECTED_NAMES)
list(SORT EXPECTED_EXPORTS)
list(SORT EXPECTED_NUMBERS COMPARE NATURAL)

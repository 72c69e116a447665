# SPDX-License-Identifier: GPL-2.0-or-later
# The Linux module exports exactly the thirteen entry points, as plain C names.
execute_process(COMMAND ${NM} -D --defined-only --format=posix ${MODULE}
                OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${MODULE}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE " .*" "" name "${line}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected FWabout FWclose FWconfigure FWinit FWirqCallback FWopen FWread32 FWshutdown
             FWtest FWwrite32 PS2EgetLibName PS2EgetLibType PS2EgetLibVersion2)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  actual:   ${names}")
endif()
message(STATUS "exports: ${names}")

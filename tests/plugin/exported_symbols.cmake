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
include(${CMAKE_CURRENT_LIST_DIR}/../expected.cmake)
if(NOT names STREQUAL EXPECTED_NAMES)
  message(FATAL_ERROR "exported symbols differ\n  expected: ${EXPECTED_NAMES}\n  actual:   ${names}")
endif()
message(STATUS "exports: ${names}")

# A host must be able to unload the module and get everything back: no
# symbol bound for the life of the process (STB_GNU_UNIQUE), no NODELETE.
execute_process(COMMAND ${READELF} -W --dyn-syms --dynamic ${MODULE}
                OUTPUT_VARIABLE elf RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "readelf failed on ${MODULE}")
endif()
if(elf MATCHES " UNIQUE ")
  message(FATAL_ERROR "the module has unique symbols, which pin it in memory")
endif()
if(elf MATCHES "NODELETE")
  message(FATAL_ERROR "the module is marked NODELETE")
endif()
message(STATUS "the module can be unloaded: no unique symbols, no NODELETE")

# SPDX-License-Identifier: GPL-2.0-or-later
# The host calls every entry point as __stdcall and pushes 4 bytes for each
# 32-bit argument or pointer; the callee pops them. The 32-bit compiler
# records both facts in the decorated name of each definition (_FWwrite32@8),
# so the objects alone show a __cdecl slip or a wrong parameter type, on any
# machine, without loading anything.
#   cmake -DNM=... -DOBJECTS="a.obj|b.obj" -P check_stdcall.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../expected.cmake)

string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} --defined-only --format=posix ${objects}
                OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${objects}")
endif()

set(problems)
foreach(entry IN LISTS EXPECTED_STDCALL)
  string(REGEX REPLACE "@.*" "" name "${entry}")
  string(REGEX MATCHALL "(^|\n)_${name}(@[0-9]+)? T" found "${listing}")
  if(NOT found)
    list(APPEND problems "${name}: not defined")
    continue()
  endif()
  string(REGEX REPLACE "^\n?_([^ ]+) T$" "\\1" defined "${found}")
  if(NOT defined STREQUAL entry)
    if(NOT defined MATCHES "@")
      list(APPEND problems "${name}: defined as ${defined} (__cdecl), expected __stdcall ${entry}")
    else()
      list(APPEND problems "${name}: takes the bytes of ${defined}, expected ${entry}")
    endif()
  endif()
endforeach()

if(problems)
  string(REPLACE ";" "\n  " problems "${problems}")
  message(FATAL_ERROR "entry points that do not match the host's calls:\n  ${problems}")
endif()
message(STATUS "all thirteen entry points are __stdcall with the host's argument bytes")

# SPDX-License-Identifier: GPL-2.0-or-later
# An ELF image takes no file call with a 32-bit offset: with logging on, a
# game writes tens of megabytes of log a second, and such a call fails once
# the file passes 2 GiB, within minutes.
#   cmake -DNM=... -DLIBC=path/to/libc.so.6 -DIMAGE=... -P large_file_calls.cmake
#
# The C library says which calls those are: one with a 64-bit twin (open and
# open64, __open_2 and __open64_2) at another address. Where off_t is 64 bits
# wide the twins are one function under two names, so a 64-bit image passes
# with the plain names; on 32-bit x86 the plain ones take 32-bit offsets.
function(symbols file kind out)
  execute_process(COMMAND ${NM} -D ${kind} --format=posix ${file}
                  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "nm failed on ${file}")
  endif()
  string(REGEX MATCHALL "[^\n]+" lines "${listing}")
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# The library's address of each name, in its default version.
symbols(${LIBC} --defined-only library)
foreach(line IN LISTS library)
  if(line MATCHES "^([A-Za-z0-9_]+)(@@[^ ]+)? [A-Za-z] ([0-9a-f]+)")
    set(address_${CMAKE_MATCH_1} ${CMAKE_MATCH_3})
  endif()
endforeach()
if(NOT DEFINED address_open64)
  message(FATAL_ERROR "${LIBC} is no C library with large-file calls (no open64)")
endif()

symbols(${IMAGE} --undefined-only imported)
set(small)
set(calls 0)
foreach(line IN LISTS imported)
  string(REGEX REPLACE "[@ ].*" "" name "${line}")
  if(NOT DEFINED address_${name})
    continue()
  endif()
  math(EXPR calls "${calls} + 1")
  set(twins ${name}64)
  if(name MATCHES "^(_*[a-z]+)(_.+)$")
    list(APPEND twins ${CMAKE_MATCH_1}64${CMAKE_MATCH_2})
  endif()
  foreach(twin IN LISTS twins)
    if(DEFINED address_${twin} AND NOT address_${twin} STREQUAL address_${name})
      list(APPEND small "${name} (use ${twin})")
    endif()
  endforeach()
endforeach()
if(small)
  string(REPLACE ";" "\n  " small "${small}")
  message(FATAL_ERROR "${IMAGE} takes 32-bit file offsets, and fails past 2 GiB:\n  ${small}")
endif()
message(STATUS "${IMAGE}: none of its ${calls} C library calls takes a 32-bit file offset")

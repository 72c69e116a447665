# SPDX-License-Identifier: GPL-2.0-or-later
# Reads Hushlink.dll's headers without loading it: its machine, its export
# table (exactly the thirteen plain names at their numbers, 9, 10, 12, 13 and
# 16 empty), the DLLs it needs (only the system's own) and its file calls
# (none with a 32-bit file offset).
#   cmake -DOBJDUMP=... -DMODULE=... -DFORMAT=pei-i386|pei-x86-64 [-DKIND=program] -P check_pe.cmake
# With KIND=program (hushlink-host.exe) only the machine and the DLLs are read.
execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "objdump failed on ${MODULE}")
endif()
set(problems)

if(NOT dump MATCHES "file format ${FORMAT}\n")
  list(APPEND problems "not a ${FORMAT} image")
endif()

if(NOT KIND STREQUAL "program")
string(REGEX MATCH "Ordinal Base[ \t]+([0-9]+)" _ "${dump}")
set(base ${CMAKE_MATCH_1})

# Export numbers that carry an address.
string(REGEX MATCHALL "\\+base\\[ *[0-9]+\\] [0-9a-f]+ Export RVA" slots "${dump}")
set(numbers)
foreach(slot IN LISTS slots)
  string(REGEX REPLACE "\\+base\\[ *([0-9]+)\\].*" "\\1" number "${slot}")
  list(APPEND numbers ${number})
endforeach()
include(${CMAKE_CURRENT_LIST_DIR}/../expected.cmake)
if(NOT numbers STREQUAL EXPECTED_NUMBERS)
  list(APPEND problems "export numbers in use: ${numbers}")
endif()

# Names and the numbers they point at.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(.*)" _ "${dump}")
string(REGEX MATCHALL "\t\\[ *[0-9]+\\] [^\n]+" rows "${CMAKE_MATCH_1}")
set(exports)
foreach(row IN LISTS rows)
  string(REGEX REPLACE "\t\\[ *([0-9]+)\\] ([^\n]+)" "\\1;\\2" pair "${row}")
  list(GET pair 0 index)
  list(GET pair 1 name)
  math(EXPR number "${base} + ${index}")
  list(APPEND exports "${name}@${number}")
endforeach()
list(SORT exports)
if(NOT exports STREQUAL EXPECTED_EXPORTS)
  list(APPEND problems "exports: ${exports}")
endif()
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|user32|advapi32|msvcrt)\\.dll$")
    list(APPEND problems "needs ${dll}, which is not a system DLL")
  endif()
endforeach()

# A logging game writes tens of megabytes of log a second: a call that takes
# or returns a 32-bit file offset or size (a C long, 32 bits in both Windows
# bitnesses) fails once the file passes 2 GiB, within minutes. Their 64-bit
# forms (SetFilePointerEx, GetFileSizeEx, _lseeki64, _fseeki64, _fstat64, ...)
# are what the module may use.
if(NOT KIND STREQUAL "program")
  set(small_offsets SetFilePointer GetFileSize _lseek lseek _tell tell _chsize chsize
      _filelength filelength fseek ftell _fseek_nolock _ftell_nolock _fstat _fstat32 fstat
      _stat _stat32 stat _wstat _wstat32 _findfirst _findfirst32 _findnext _findnext32
      _wfindfirst _wfindfirst32 _wfindnext _wfindnext32)
  string(REGEX MATCHALL "\n\t[0-9a-f]+\t +[0-9]+  [A-Za-z0-9_]+" calls "${dump}")
  foreach(call IN LISTS calls)
    string(REGEX REPLACE ".*  " "" name "${call}")
    list(FIND small_offsets "${name}" index)
    if(index GREATER -1)
      list(APPEND problems "imports ${name}, which takes a 32-bit file offset")
    endif()
  endforeach()
endif()

if(problems)
  string(REPLACE ";" "\n  " problems "${problems}")
  message(FATAL_ERROR "${MODULE}:\n  ${problems}")
endif()
message(STATUS "${MODULE}: ${FORMAT}, exports ${exports}, imports ${imports}")

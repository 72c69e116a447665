# SPDX-License-Identifier: GPL-2.0-or-later
# Every source file opens with its SPDX licence line (after the "#!" line of
# a script), so that each file says under which terms it may be copied.
#   cmake -DSOURCE_DIR=... -P licence_lines.cmake
set(tag "SPDX-License-Identifier: GPL-2.0-or-later")
# Only the source folders: a recursive pattern at the top would walk the
# build trees, whose Wine prefixes link to the whole file system.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/.ci/*
  ${SOURCE_DIR}/plugin/* ${SOURCE_DIR}/host/* ${SOURCE_DIR}/tests/*
  ${SOURCE_DIR}/fuzz/* ${SOURCE_DIR}/bench/* ${SOURCE_DIR}/cmake/* ${SOURCE_DIR}/scripts/*)
list(APPEND files CMakeLists.txt)
set(missing)
foreach(file IN LISTS files)
  if(file MATCHES "/(corpus|fixtures)/")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} lines LIMIT_COUNT 2)
  list(GET lines 0 first)
  if(first MATCHES "^#!")
    list(GET lines 1 first)
  endif()
  if(NOT first MATCHES "^(//|#|;|/\\*) ${tag}( \\*/)?$")
    list(APPEND missing ${file})
  endif()
endforeach()
if(missing)
  string(REPLACE ";" "\n  " missing "${missing}")
  message(FATAL_ERROR "files without the licence line \"${tag}\":\n  ${missing}")
endif()
list(LENGTH files count)
message(STATUS "${count} files carry the licence line")

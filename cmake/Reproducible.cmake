# SPDX-License-Identifier: GPL-2.0-or-later
# One commit builds to the same bytes in any folder, at any time: the
# objects carry no path of the source or build folder (__FILE__, the debug
# information's file names and compile folder), and a Windows image's
# header no link time.
if(CMAKE_C_COMPILER_ID MATCHES "GNU|Clang")
  # Both folders read as "."; the build folder's map comes last, so it wins
  # where the build folder lies inside the source folder.
  add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
                      "-ffile-prefix-map=${PROJECT_BINARY_DIR}=.")
endif()
if(WIN32)
  add_link_options(LINKER:--no-insert-timestamp)
endif()

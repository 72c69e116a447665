# SPDX-License-Identifier: GPL-2.0-or-later
# Sanitized builds stop at the first report: a finding fails the run.
if(HUSHLINK_SANITIZE OR HUSHLINK_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
# Clang links its sanitizers' runtime into programs alone, which leaves the
# module (linked with -z defs) short of it: the shared runtime, as GCC's,
# found where clang keeps it.
if(HUSHLINK_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
                  OUTPUT_VARIABLE clang_runtime_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
  add_link_options(-shared-libsan "LINKER:-rpath,${clang_runtime_dir}")
endif()
if(HUSHLINK_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

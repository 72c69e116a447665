# SPDX-License-Identifier: GPL-2.0-or-later
# Sanitized builds stop at the first report: a finding fails the run.
if(HUSHLINK_SANITIZE OR HUSHLINK_FUZZ)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(HUSHLINK_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

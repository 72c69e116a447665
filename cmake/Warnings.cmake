# SPDX-License-Identifier: GPL-2.0-or-later
# One warning level for every target of ours. Whether warnings are errors is
# CMake's own switch, CMAKE_COMPILE_WARNING_AS_ERROR: on in our presets and
# scripts, off in a plain configure unless the user asks for it.
function(hushlink_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
endfunction()

# SPDX-License-Identifier: GPL-2.0-or-later
# add_hushlink_test(NAME SOURCES... [CORE] [ENVIRONMENT VAR=VALUE...])
# One GoogleTest program, each test case registered with CTest as its own
# process. CORE links the plugin's objects in, for tests that reach behind the
# exported surface; every test can load the built module through dlopen.
function(add_hushlink_test name)
  cmake_parse_arguments(ARG "CORE" "" "ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE hushlink_test_support GTest::gtest_main GTest::gmock)
  if(ARG_CORE)
    target_link_libraries(${name} PRIVATE hushlink_objects)
  endif()
  add_dependencies(${name} Hushlink hushlink-host)
  hushlink_warnings(${name})
  # Test properties reach CTest flattened: one ENVIRONMENT entry at most.
  list(LENGTH ARG_ENVIRONMENT entries)
  if(entries GREATER 1)
    message(FATAL_ERROR "add_hushlink_test(${name}): one ENVIRONMENT entry at most")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}" SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endfunction()

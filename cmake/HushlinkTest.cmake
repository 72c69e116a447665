# SPDX-License-Identifier: GPL-2.0-or-later
# GoogleTest for the tests, and one helper that adds a test program.
#
# A native build uses the GoogleTest the system has. A cross build for
# Windows compiles it from the source tree Debian installs, with the same
# toolchain, linked statically like the rest: nothing is downloaded.
include(GoogleTest)

# Test code is built for a quick build rather than a quick run: every test
# build (three of them, with the sanitizers' and both Windows ones) compiles
# it again, while what it exercises, the plugin's own objects, keeps the
# build type's optimisation and debug information.
function(hushlink_test_compile_options target)
  if(NOT MSVC)
    target_compile_options(${target} PRIVATE -O1 -g0)
  endif()
endfunction()

if(CMAKE_CROSSCOMPILING)
  set(HUSHLINK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
      "GoogleTest's source tree, for the cross builds")
  if(NOT EXISTS ${HUSHLINK_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${HUSHLINK_GOOGLETEST_SOURCE} "
                        "(Debian package googletest; scripts/setup.sh installs it)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # The Windows tests use no mocks.
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${HUSHLINK_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(library gtest gtest_main)
    # Its own warnings are not ours to fail on, and it is built as the tests are.
    set_target_properties(${library} PROPERTIES COMPILE_WARNING_AS_ERROR OFF)
    hushlink_test_compile_options(${library})
  endforeach()
else()
  find_package(GTest REQUIRED)
endif()

# add_hushlink_test(NAME SOURCES... [ENVIRONMENT VAR=VALUE])
# One GoogleTest program with the test support (and so the plugin's own
# objects, for tests that reach behind the exported surface); every test can
# also load the built module as the host does. On a native build each test
# case is registered with CTest as its own process.
function(add_hushlink_test name)
  cmake_parse_arguments(ARG "" "" "ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE hushlink_test_support GTest::gtest_main)
  if(NOT CMAKE_CROSSCOMPILING)
    target_link_libraries(${name} PRIVATE GTest::gmock)
  endif()
  add_dependencies(${name} Hushlink hushlink-host)
  hushlink_warnings(${name})
  hushlink_test_compile_options(${name})
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  # Test properties reach CTest flattened: one ENVIRONMENT entry at most.
  list(LENGTH ARG_ENVIRONMENT entries)
  if(entries GREATER 1)
    message(FATAL_ERROR "add_hushlink_test(${name}): one ENVIRONMENT entry at most")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "${ARG_ENVIRONMENT}" SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endfunction()

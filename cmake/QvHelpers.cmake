# Small helpers shared by every folder's CMakeLists.txt.

# qv_shared_library(NAME sources...): a plugin-style shared library whose
# symbols are hidden unless exported explicitly (QV_EXPORT).
function(qv_shared_library name)
  add_library(${name} SHARED ${ARGN})
  set_target_properties(${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
endfunction()

# Tests. Two helpers register every test of the tree, so that labels,
# time-outs, fixtures and the environment are set one way everywhere:
#
# qv_add_test(name SOURCES a.cpp ... [LIBS lib ...] [LABELS label ...]
#     [TIMEOUT seconds] [FIXTURES_REQUIRED fixture ...] [ENVIRONMENT VAR=value ...]
#     [DISCOVERY_TIMEOUT seconds])
#   One GoogleTest executable in ${CMAKE_BINARY_DIR}/tests, discovered by CTest
#   test by test after each build (DISCOVERY_TIMEOUT: how long listing the
#   tests may take, default 60 s). Every test gets QV_BUILD_DIR, the build
#   directory, in its environment ahead of ENVIRONMENT.
#
# qv_add_test_command(name COMMAND program arg ... [WORKING_DIRECTORY dir]
#     [LABELS label ...] [TIMEOUT seconds] [ENVIRONMENT VAR=value ...]
#     [FIXTURES_SETUP fixture ...] [FIXTURES_CLEANUP fixture ...]
#     [FIXTURES_REQUIRED fixture ...] [PASS_REGULAR_EXPRESSION regex ...])
#   One test that runs a command (a script, or a program of the build by its
#   target name); it passes on exit code 0, or when the output matches
#   PASS_REGULAR_EXPRESSION.
#
# Every property is a list: LABELS slow soak gives a test both labels.

set(_QV_TEST_LIST_PROPERTIES LABELS ENVIRONMENT FIXTURES_SETUP FIXTURES_CLEANUP FIXTURES_REQUIRED
    PASS_REGULAR_EXPRESSION)

# Writes into out the "PROPERTIES ..." tail of a set_tests_properties call in
# a CTest file, one bracket argument per property, so that a list value stays
# one value. Empty when no property is set.
function(_qv_test_properties_text out prefix)
  set(text "")
  foreach(prop TIMEOUT ${_QV_TEST_LIST_PROPERTIES})
    if(DEFINED ${prefix}_${prop})
      # An argument "a;b" is two elements, as in set_tests_properties.
      string(REPLACE "\\;" ";" value "${${prefix}_${prop}}")
      if(value MATCHES "]==]")
        message(FATAL_ERROR "test property ${prop}: the value must not contain ]==]: ${value}")
      endif()
      string(APPEND text " ${prop} [==[${value}]==]")
    endif()
  endforeach()
  if(NOT text STREQUAL "")
    set(text "PROPERTIES${text}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

function(qv_add_test name)
  cmake_parse_arguments(PARSE_ARGV 1 T "" "TIMEOUT;DISCOVERY_TIMEOUT"
    "SOURCES;LIBS;LABELS;FIXTURES_REQUIRED;ENVIRONMENT")
  if(T_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qv_add_test(${name}): unknown arguments ${T_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT QV_BUILD_TESTS)
    message(FATAL_ERROR "qv_add_test(${name}): called with QV_BUILD_TESTS=OFF (GoogleTest is not looked for then)")
  endif()
  if(NOT T_SOURCES)
    message(FATAL_ERROR "qv_add_test(${name}): SOURCES is required")
  endif()
  if(NOT DEFINED T_DISCOVERY_TIMEOUT)
    set(T_DISCOVERY_TIMEOUT 60)
  endif()
  set(T_ENVIRONMENT "QV_BUILD_DIR=${CMAKE_BINARY_DIR}" ${T_ENVIRONMENT})

  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

  # A cross build runs each test program once, as one CTest test, through
  # the emulator (Wine): starting it per test, and listing its tests at build
  # time, would cost seconds each. Wine runs it as a Chinese Windows (ANSI
  # code page 936, which the framework's narrow texts - configuration files,
  # trace records - need for their Chinese); Wine takes the code page from the
  # locale, which must then exist on the build machine (scripts/deps.sh makes
  # it), or file names beyond ASCII fail.
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT};WINEDEBUG=-all;LC_ALL=zh_CN.UTF-8")
    foreach(prop TIMEOUT LABELS FIXTURES_REQUIRED)
      if(DEFINED T_${prop})
        set_tests_properties(${name} PROPERTIES ${prop} "${T_${prop}}")
      endif()
    endforeach()
    return()
  endif()

  # The properties do not go through gtest_discover_tests' PROPERTIES: it
  # hands them on as one flat list, so "LABELS e2e slow" would come out as
  # the label e2e and a property named "slow". A CTest file of our own, read
  # after the discovered tests, sets them on the discovered list instead.
  set(listed qv_discovered_${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT ${T_DISCOVERY_TIMEOUT} TEST_LIST ${listed})
  get_property(counter TARGET ${name} PROPERTY CTEST_DISCOVERED_TEST_COUNTER)
  set(discovered "${CMAKE_CURRENT_BINARY_DIR}/${name}[${counter}]_tests.cmake")
  _qv_test_properties_text(properties T)
  set(file ${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake)
  file(CONFIGURE OUTPUT ${file} CONTENT [=[
# Written by qv_add_test: the properties of the tests discovered in @name@.
if(NOT EXISTS [==[@discovered@]==])
  return()  # not built yet: only @name@_NOT_BUILT is there
endif()
# Every discovered test must be in the list, or it would run without its
# properties: the list is missing when the tests were discovered under an
# older configuration, and CMake leaves names with square brackets out of it.
file(READ [==[@discovered@]==] qv_script)
string(REGEX MATCHALL "(^|\n)add_test\\(" qv_added "${qv_script}")
list(LENGTH qv_added qv_added_count)
list(LENGTH @listed@ qv_listed_count)
if(qv_added_count EQUAL 0)
  return()
elseif(NOT DEFINED @listed@)
  message(FATAL_ERROR "@name@: its tests were discovered under an older configuration; build it again")
elseif(NOT qv_added_count EQUAL qv_listed_count)
  message(FATAL_ERROR "@name@: ${qv_added_count} tests discovered but ${qv_listed_count} listed; "
                      "a test name with [ or ] cannot carry the properties qv_add_test sets")
endif()
set_tests_properties(${@listed@} @properties@)
]=] @ONLY)
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

function(qv_add_test_command name)
  cmake_parse_arguments(PARSE_ARGV 1 T "" "WORKING_DIRECTORY;TIMEOUT" "COMMAND;${_QV_TEST_LIST_PROPERTIES}")
  if(T_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "qv_add_test_command(${name}): unknown arguments ${T_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT T_COMMAND)
    message(FATAL_ERROR "qv_add_test_command(${name}): COMMAND is required")
  endif()
  set(where)
  if(DEFINED T_WORKING_DIRECTORY)
    set(where WORKING_DIRECTORY ${T_WORKING_DIRECTORY})
  endif()
  add_test(NAME ${name} COMMAND ${T_COMMAND} ${where})
  foreach(prop TIMEOUT ${_QV_TEST_LIST_PROPERTIES})
    if(DEFINED T_${prop})
      string(REPLACE "\\;" ";" value "${T_${prop}}")
      set_tests_properties(${name} PROPERTIES ${prop} "${value}")
    endif()
  endforeach()
endfunction()

# qv_add_test_parts(part ...): includes <part>.cmake of the current folder for
# each part named (tests/unit, tests/integration, tests/e2e keep one file per
# area of the system). A listed file that is missing stops the configuration,
# and so does a .cmake file in the folder that is not listed: no area's tests
# drop out unnoticed.
macro(qv_add_test_parts)
  file(GLOB _qv_part_files RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cmake)
  foreach(_qv_part ${ARGN})
    list(REMOVE_ITEM _qv_part_files ${_qv_part}.cmake)
    include(${CMAKE_CURRENT_SOURCE_DIR}/${_qv_part}.cmake)
  endforeach()
  if(_qv_part_files)
    message(FATAL_ERROR "${CMAKE_CURRENT_SOURCE_DIR}: ${_qv_part_files} not listed in qv_add_test_parts()")
  endif()
endmacro()

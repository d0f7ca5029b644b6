# SPDX-License-Identifier: GPL-3.0-or-later
# ll_label_discovered_tests(LABELS label... TESTS name...): gives tests that gtest_discover_tests
# finds when ctest starts the labels named (its own PROPERTIES keep only a list's first item). A
# name that no longer exists stops ctest with an error instead of leaving a test unlabelled.
function(ll_label_discovered_tests)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "LABELS;TESTS")
  string(MAKE_C_IDENTIFIER "${arg_TESTS}" id)
  string(SHA1 id "${id}")
  set(file ${CMAKE_CURRENT_BINARY_DIR}/labels-${id}.cmake)
  set(text "")
  foreach(test IN LISTS arg_TESTS)
    string(APPEND text "set_tests_properties([==[${test}]==] PROPERTIES LABELS [==[${arg_LABELS}]==])\n")
  endforeach()
  file(WRITE ${file} "${text}")
  # After the discovered tests' own files, which gtest_discover_tests has added already.
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${file})
endfunction()

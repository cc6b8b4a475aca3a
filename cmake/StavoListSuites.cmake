# Run by ctest through a test include file (see StavoSuiteTests.cmake): lists the suites of one
# GoogleTest executable and registers a test for each.
if(NOT EXISTS "${STAVO_SUITE_EXECUTABLE}")
  add_test("${STAVO_SUITE_PREFIX}NOT_BUILT" "${STAVO_SUITE_EXECUTABLE}")
  return()
endif()
execute_process(COMMAND "${STAVO_SUITE_EXECUTABLE}" --gtest_list_tests
  WORKING_DIRECTORY "${STAVO_SUITE_WORKING_DIR}"
  OUTPUT_VARIABLE listing RESULT_VARIABLE listed TIMEOUT 120)
if(NOT listed EQUAL 0)
  message(WARNING "${STAVO_SUITE_EXECUTABLE} --gtest_list_tests failed: ${listed}")
  add_test("${STAVO_SUITE_PREFIX}LIST_FAILED" "${STAVO_SUITE_EXECUTABLE}" --gtest_list_tests)
  return()
endif()
string(REPLACE ";" "\\;" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  # Suite lines start in column one and end with a dot (before an optional "# TypeParam" note).
  if(line MATCHES "^([A-Za-z0-9_/]+)\\.")
    set(suite "${CMAKE_MATCH_1}")
    if(suite MATCHES "^DISABLED_|/DISABLED_")
      continue()
    endif()
    set(name "${STAVO_SUITE_PREFIX}${suite}")
    add_test("${name}" "${STAVO_SUITE_EXECUTABLE}" "--gtest_filter=${suite}.*")
    set_tests_properties("${name}" PROPERTIES TIMEOUT ${STAVO_SUITE_TIMEOUT}
      WORKING_DIRECTORY "${STAVO_SUITE_WORKING_DIR}")
  endif()
endforeach()

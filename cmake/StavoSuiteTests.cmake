# stavo_add_suite_tests(<target> <prefix>): one CTest test per GoogleTest suite of <target>
# ("<prefix>Suite", running --gtest_filter=Suite.*), found when ctest starts, as
# gtest_discover_tests finds cases. The sanitizer builds use it: starting an instrumented test
# process costs a good fraction of a second, so one process per case made up much of their run.
set(STAVO_SUITE_LISTER ${CMAKE_CURRENT_LIST_DIR}/StavoListSuites.cmake)

function(stavo_add_suite_tests target prefix timeout)
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites_include.cmake")
  file(GENERATE OUTPUT "${include_file}" CONTENT
"set(STAVO_SUITE_EXECUTABLE [==[$<TARGET_FILE:${target}>]==])
set(STAVO_SUITE_PREFIX [==[${prefix}]==])
set(STAVO_SUITE_TIMEOUT ${timeout})
set(STAVO_SUITE_WORKING_DIR [==[${CMAKE_CURRENT_BINARY_DIR}]==])
include([==[${STAVO_SUITE_LISTER}]==])
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()

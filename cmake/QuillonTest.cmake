# quillon_add_test(<name> SOURCES <files...> LIBS <targets...>)
# Builds one GoogleTest executable and registers its tests with ctest.
# Tests are discovered when ctest runs, so a sanitizer build never runs them at build time.
function(quillon_add_test name)
  if(NOT QUILLON_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES ENVIRONMENT "QUILLON_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()

# quillon_add_test(<name> SOURCES <files...> LIBS <targets...> [RESOURCE_LOCK <names...>] [LINUX_ONLY])
# Builds one GoogleTest executable and registers its tests with ctest.
# LINUX_ONLY leaves it out of the Windows build (tests that fork, start the
# emulator in-process or check Linux files); the others run there under Wine.
# Tests are discovered when ctest runs, so a sanitizer build never runs them at build time.
# RESOURCE_LOCK keeps the tests from running at the same time as other tests that
# name the same resource. The tests that start whole runs (quillon-upgrade and
# the emulator) take one of two lanes, so that no more than two runs share the
# machine's processors: "quillon_instance" for the tests whose runs may take
# the product's own single-instance lock (copies of the program refuse each
# other), "quillon_private_runs" for those whose every run takes a lock name
# of its own test process and so never meets another copy.
function(quillon_add_test name)
  if(NOT QUILLON_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "LINUX_ONLY" "" "SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  if(ARG_LINUX_ONLY AND WIN32)
    return()
  endif()
  # While several people work in one tree, a test whose sources are still being
  # written can be left out of a developer's own build (never in CI).
  if(QUILLON_SKIP_INCOMPLETE_TESTS)
    foreach(source IN LISTS ARG_SOURCES)
      if(NOT EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${source}")
        message(WARNING "${name}: ${source} does not exist yet; test left out")
        return()
      endif()
    endforeach()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  set(properties ENVIRONMENT "QUILLON_BUILD_DIR=${PROJECT_BINARY_DIR}")
  if(ARG_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()

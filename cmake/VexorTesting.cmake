# vexor_add_test(NAME SOURCES... LIBS... [LABELS ...])
# Builds one GoogleTest program and registers each of its tests with CTest.
# Tests labelled "threads" also run in the ThreadSanitizer build.
function(vexor_add_test name)
  if(NOT VEXOR_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300
    DISCOVERY_TIMEOUT 60)
endfunction()

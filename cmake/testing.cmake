# corkwall_test(<name> <sources>... [LIBS <libs>...]): a GoogleTest program run
# by CTest. Tests get a fresh temporary folder in TEST_TMPDIR and run from the
# build folder, where the plug-ins are.
include(GoogleTest)
function(corkwall_test name)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()

# zor_add_gtest(NAME src...): a GoogleTest program linked with libfenn's
# objects, registered with CTest. Tests find the simulated NPU runtime and
# the source tree through the environment; the runtime is built before them.
function(zor_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE fenn_core GTest::gtest GTest::gtest_main)
  add_dependencies(${name} zor_npurt_sim)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT
    "ZOR_SIM_NPURT=$<TARGET_FILE:zor_npurt_sim>;ZOR_SOURCE_DIR=${PROJECT_SOURCE_DIR};ZOR_TEST_TMP=${CMAKE_BINARY_DIR}/test-tmp")
endfunction()

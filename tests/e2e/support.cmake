# The end-to-end tests' support library (qv_e2e_support): child processes, the
# staged tree and its host, the play flows. The Linux tests and the Windows
# build's smoke test (tests/windows) both build it from here.
set(QV_E2E_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(qv_e2e_support STATIC
  ${QV_E2E_DIR}/childprocess.cpp
  ${QV_E2E_DIR}/initext.cpp
  ${QV_E2E_DIR}/stagedserver.cpp
  ${QV_E2E_DIR}/playflow.cpp
)
target_include_directories(qv_e2e_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qv_e2e_support PUBLIC qvclient qv_example_protocol qv_projcommon_text qv_platform_sys GTest::gtest Threads::Threads)
# Compiled in, so the tests find the tree however they are run (under Wine
# the build tree is on drive Z:, QV_TEST_PATH_PREFIX).
target_compile_definitions(qv_e2e_support PRIVATE QV_E2E_STAGE_DIR="${QV_TEST_PATH_PREFIX}${CMAKE_BINARY_DIR}/stage")

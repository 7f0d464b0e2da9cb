# DBCtrl tests: the library through its C calls, its backends and audit, the
# multi-process cases and qvadmin end to end, on SQLite and on a throwaway
# PostgreSQL cluster. CTest starts that cluster once (fixture qv_postgres) and
# removes it after the last test; the tests find it through QV_PG_STATE_FILE.

set(QV_DBT_DIR ${CMAKE_CURRENT_LIST_DIR}/dbctrl)
set(QV_PG_STATE ${CMAKE_BINARY_DIR}/tests/pgcluster.state)

add_library(qv_dbtestenv STATIC ${QV_DBT_DIR}/dbtestenv.cpp)
target_link_libraries(qv_dbtestenv PUBLIC qv_dbctrl_core qv_platform_sys)
# Compiled in rather than passed through the test environment, so that the
# test binaries find the fixture's cluster and the programs however they run.
target_compile_definitions(qv_dbtestenv PRIVATE
  QV_TEST_POSTGRES=1
  QV_PGCLUSTER_SCRIPT="${QV_DBT_DIR}/pgcluster.sh"
  QV_PG_STATE_FILE_DEFAULT="${QV_PG_STATE}"
  QV_BINARY_DIR_DEFAULT="${CMAKE_BINARY_DIR}/bin")

add_executable(dbctrl_worker ${QV_DBT_DIR}/dbctrl_worker.cpp)
target_link_libraries(dbctrl_worker PRIVATE DBCtrl qv_projcommon_text qv_platform)

# Without the PostgreSQL binaries the start fails and names the package, unless
# QV_SKIP_POSTGRES=1 is set, which skips the postgres cases (pgcluster.sh).
qv_add_test_command(dbctrl_pgcluster_start COMMAND /bin/sh ${QV_DBT_DIR}/pgcluster.sh start ${QV_PG_STATE} fast
  FIXTURES_SETUP qv_postgres)
qv_add_test_command(dbctrl_pgcluster_stop COMMAND /bin/sh ${QV_DBT_DIR}/pgcluster.sh stop ${QV_PG_STATE}
  FIXTURES_CLEANUP qv_postgres)

# qv_dbctrl_test(NAME SOURCES ... [SLOW]): a GoogleTest executable against both
# backends, with the cluster fixture, labelled "dbctrl", or "slow" alone for
# the multi-process cases.
function(qv_dbctrl_test name)
  cmake_parse_arguments(PARSE_ARGV 1 T "SLOW" "" "SOURCES")
  set(labels dbctrl)
  if(T_SLOW)
    set(labels slow)
  endif()
  qv_add_test(${name} SOURCES ${T_SOURCES} LIBS DBCtrl qv_dbtestenv
    LABELS ${labels} FIXTURES_REQUIRED qv_postgres)
endfunction()

qv_dbctrl_test(dbctrl_commands_test SOURCES ${QV_DBT_DIR}/dbctrl_commands_test.cpp)
qv_dbctrl_test(dbctrl_backend_test SOURCES ${QV_DBT_DIR}/dbctrl_backend_test.cpp)
qv_dbctrl_test(dbctrl_multiprocess_test SLOW SOURCES ${QV_DBT_DIR}/dbctrl_multiprocess_test.cpp)
add_dependencies(dbctrl_multiprocess_test dbctrl_worker qvadmin)
qv_dbctrl_test(qvadmin_test SOURCES ${QV_DBT_DIR}/qvadmin_test.cpp)
add_dependencies(qvadmin_test qvadmin)
qv_dbctrl_test(dbctrl_exchange_test SOURCES ${QV_DBT_DIR}/dbctrl_exchange_test.cpp)
qv_dbctrl_test(dbctrl_lease_test SOURCES ${QV_DBT_DIR}/dbctrl_lease_test.cpp)
qv_dbctrl_test(dbctrl_group_test SOURCES ${QV_DBT_DIR}/dbctrl_group_test.cpp)
# The failed-commit cases load the fault-injecting SQLite VFS into the test.
add_dependencies(dbctrl_group_test qv_faultvfs)
target_compile_definitions(dbctrl_group_test PRIVATE QV_FAULT_VFS_LIB="$<TARGET_FILE:qv_faultvfs>")
target_link_libraries(dbctrl_group_test PRIVATE ${CMAKE_DL_LIBS})

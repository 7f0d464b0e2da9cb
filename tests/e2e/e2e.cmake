# End-to-end tests: the staged runtime tree copied into a temporary
# directory, quorvel-host started as a child on a free port of 127.0.0.1, the
# client library, qvadmin, qvplay and qvbot against it, on SQLite and on the
# throwaway PostgreSQL cluster. They start real processes, so they carry the
# labels "e2e" and "slow" (the sanitizer pass skips "slow").
# qv_e2e_support comes from support.cmake.

# qv_e2e_test(NAME SOURCES ... [LIBS ...] [POSTGRES]): one GoogleTest
# executable that runs against the staged tree (built first).
function(qv_e2e_test name)
  cmake_parse_arguments(PARSE_ARGV 1 T "POSTGRES" "" "SOURCES;LIBS")
  set(fixtures)
  if(T_POSTGRES)
    set(fixtures FIXTURES_REQUIRED qv_postgres)
  endif()
  qv_add_test(${name} SOURCES ${T_SOURCES} LIBS qv_e2e_support ${T_LIBS}
    LABELS e2e slow TIMEOUT 120 ${fixtures})
  add_dependencies(${name} stage)
endfunction()

qv_e2e_test(e2e_host_test SOURCES ${QV_E2E_DIR}/e2e_host_test.cpp)
qv_e2e_test(e2e_login_test SOURCES ${QV_E2E_DIR}/e2e_login_test.cpp)
qv_e2e_test(e2e_play_test SOURCES ${QV_E2E_DIR}/e2e_play_test.cpp)
qv_e2e_test(e2e_crash_test SOURCES ${QV_E2E_DIR}/e2e_crash_test.cpp)
# A game module configured and built out of tree against the staged package.
qv_e2e_test(e2e_sdk_test SOURCES ${QV_E2E_DIR}/e2e_sdk_test.cpp)
target_compile_definitions(e2e_sdk_test PRIVATE QV_CMAKE_COMMAND="${CMAKE_COMMAND}"
                           QV_CXX_COMPILER="${CMAKE_CXX_COMPILER}"
                           QV_SDK_SAMPLE_DIR="${PROJECT_SOURCE_DIR}/tests/sdk/coinflip")
qv_e2e_test(e2e_limits_test SOURCES ${QV_E2E_DIR}/e2e_limits_test.cpp)
qv_e2e_test(e2e_websocket_test SOURCES ${QV_E2E_DIR}/e2e_websocket_test.cpp)
qv_e2e_test(e2e_metrics_test SOURCES ${QV_E2E_DIR}/e2e_metrics_test.cpp)
qv_e2e_test(e2e_postgres_test POSTGRES SOURCES ${QV_E2E_DIR}/e2e_postgres_test.cpp LIBS qv_dbtestenv)
# Storage faults under a running server come from a tmpfs where mounting is
# allowed and always from the preloaded fault-injecting VFS.
qv_e2e_test(e2e_dbfault_test SOURCES ${QV_E2E_DIR}/e2e_dbfault_test.cpp)
add_dependencies(e2e_dbfault_test qv_faultvfs)
target_compile_definitions(e2e_dbfault_test PRIVATE QV_FAULT_VFS_LIB="$<TARGET_FILE:qv_faultvfs>")

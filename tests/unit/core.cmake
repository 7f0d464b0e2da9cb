# Server core and host entry: packets, host output log, server base (start,
# dispatch, login, console), the host entry on the global server, and the
# built framework library.
qv_add_test(packets_test SOURCES packets_test.cpp LIBS qv_common)
qv_add_test(sessionpool_test SOURCES sessionpool_test.cpp LIBS qv_common)
qv_add_test(hostlog_test SOURCES hostlog_test.cpp LIBS qv_common qv_test_support)
qv_add_test(serverbase_test
  SOURCES serverconfig_test.cpp serverdispatch_test.cpp serverlogin_test.cpp serverconsole_test.cpp
          serverlease_test.cpp
  LIBS qv_common qv_test_support)
qv_add_test(hostentry_test SOURCES hostentry_test.cpp LIBS qv_framework qv_test_support)
qv_add_test(quorvels_library_test SOURCES quorvels_library_test.cpp LIBS qv_test_support ${CMAKE_DL_LIBS})
add_dependencies(quorvels_library_test QuorvelS)

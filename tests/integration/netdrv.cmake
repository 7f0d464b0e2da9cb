# Network-driver tests over real loopback sockets (ephemeral ports).
# netdrv_test links the driver; netdrv_load_test only loads the built
# libQ7NetDrv.so by path, as the framework does.
qv_add_test(netdrv_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/netdrv_basic_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/netdrv_abuse_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/netdrv_hold_test.cpp
  LIBS Q7NetDrv)

# The WebSocket port against a Boost.Beast client; the driver's core and
# entries are linked in, so that a test can build a server of its own config.
qv_add_test(netdrv_ws_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/netdrv_ws_test.cpp ${PROJECT_SOURCE_DIR}/netdrv/netdrv.cpp
  LIBS qv_netdrv_core)

qv_add_test(netdrv_internals_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/netdrv_internals_test.cpp
  LIBS qv_netdrv_core)

qv_add_test(netdrv_load_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/netdrv_load_test.cpp
  LIBS qv_platform qv_projcommon_text)
add_dependencies(netdrv_load_test Q7NetDrv)

# Load-like churn of many short connections: label "slow", so the sanitizer
# pass of CI skips it.
qv_add_test(netdrv_churn_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/netdrv_churn_test.cpp
  LIBS Q7NetDrv
  LABELS slow TIMEOUT 120)

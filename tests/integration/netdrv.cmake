# Network-driver tests over real loopback sockets (ephemeral ports).
# netdrv_test links the driver; netdrv_load_test only loads the built
# libQ7NetDrv.so by path, as the framework does.
qv_add_test(netdrv_test
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/netdrv_basic_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/netdrv_abuse_test.cpp
  LIBS Q7NetDrv)

qv_add_test(netdrv_internals_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/netdrv_internals_test.cpp
  LIBS qv_netdrv_core)

qv_add_test(netdrv_load_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/netdrv_load_test.cpp
  LIBS qv_platform qv_projcommon_text)
if(TARGET netdrv_load_test)
  add_dependencies(netdrv_load_test Q7NetDrv)
endif()

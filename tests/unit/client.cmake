qv_add_test(qvclient_test SOURCES qvclient_test.cpp LIBS qvclient qv_example_protocol)
if(TARGET qvbot_core)
  qv_add_test(qvbot_test SOURCES qvbot_test.cpp LIBS qvbot_core)
endif()

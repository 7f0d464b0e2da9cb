qv_add_test(qvclient_test SOURCES qvclient_test.cpp LIBS qvclient qv_example_protocol)
qv_add_test(qvbot_test SOURCES qvbot_test.cpp LIBS qvbot_core)

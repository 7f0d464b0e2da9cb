qv_add_test(qvclient_test SOURCES qvclient_test.cpp LIBS qvclient)

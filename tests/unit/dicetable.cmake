qv_add_test(dicetable_test SOURCES dicetable_test.cpp LIBS qv_dicetable)

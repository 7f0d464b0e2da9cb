qv_add_test(widestring_test SOURCES widestring_test.cpp LIBS qv_projcommon_text)
qv_add_test(wformat_test SOURCES wformat_test.cpp LIBS qv_projcommon_text)

# Tests of the system services: MD5, registry/GUID/process helpers and their
# platform layers, the trace log and its viewer, the stream buffer, byte order.
qv_add_test(byteorder_test SOURCES byteorder_test.cpp LIBS qv_platform)
qv_add_test(md5_test SOURCES md5_test.cpp LIBS qv_projcommon_sys)
qv_add_test(streambuf_test SOURCES streambuf_test.cpp LIBS qv_projcommon_sys)
qv_add_test(tracelog2_test SOURCES tracelog2_test.cpp LIBS qv_projcommon_sys)
qv_add_test(syshelpers_test SOURCES syshelpers_test.cpp LIBS qv_projcommon_sys)
qv_add_test(process_test SOURCES process_test.cpp LIBS qv_platform_sys)
qv_add_test(registry_test SOURCES registry_test.cpp LIBS qv_platform_sys)
qv_add_test(traceviewer_test SOURCES traceviewer_test.cpp LIBS qv_projcommon_sys)

# The viewer program in its own processes: slow.
qv_add_test(qvtraceview_test SOURCES qvtraceview_test.cpp LIBS qv_projcommon_sys LABELS slow)
add_dependencies(qvtraceview_test qvtraceview)

# Platform file layer, text lines and paths, file-system operations, INI file.
qv_add_test(file_test SOURCES file_test.cpp LIBS qv_platform_fs)
qv_add_test(textfile_test SOURCES textfile_test.cpp LIBS qv_projcommon_files)
qv_add_test(fileops_test SOURCES fileops_test.cpp LIBS qv_projcommon_files)
qv_add_test(inifile_test SOURCES inifile_test.cpp LIBS qv_projcommon_files)

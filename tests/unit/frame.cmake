# Game-module loader, login strings, version resources and icons, CVersionInfo.
qv_add_test(global_test SOURCES global_test.cpp LIBS qv_frame_support)
qv_use_test_games(global_test)
qv_add_test(loginstring_test SOURCES loginstring_test.cpp loginguard_test.cpp LIBS qv_frame_support)
qv_add_test(verres_test SOURCES verres_test.cpp LIBS qv_platform_version)
qv_use_test_games(verres_test)
qv_add_test(versioninfo_test SOURCES versioninfo_test.cpp LIBS qv_projcommon_version)
qv_use_test_games(versioninfo_test)
# ExeVersionText and ExeBuildNumber read the test program's own version.
qv_add_version_info(versioninfo_test FILE_DESCRIPTION "CVersionInfo tests" FILE_VERSION 1.2.3.4)

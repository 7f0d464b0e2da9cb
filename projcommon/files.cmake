# Text lines and paths, file-system operations and the INI file
# (qv_projcommon_files), built on the platform file layer.
add_library(qv_projcommon_files STATIC
  ${CMAKE_CURRENT_LIST_DIR}/textfile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/textpath.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fileops.cpp
  ${CMAKE_CURRENT_LIST_DIR}/inifile.cpp
)
target_link_libraries(qv_projcommon_files PUBLIC qv_platform_fs qv_projcommon_text)

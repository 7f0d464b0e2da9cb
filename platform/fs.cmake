# The file layer: open files with share modes, attributes, directories,
# deletion, copies and directory searches (qv_platform_fs).
add_library(qv_platform_fs STATIC
  ${CMAKE_CURRENT_LIST_DIR}/lasterror.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/filesys.cpp
)
target_link_libraries(qv_platform_fs PUBLIC qv_platform)

# The file layer: open files with share modes, attributes, directories,
# deletion, copies and directory searches (qv_platform_fs).
set(_qv_platform_fs_sources
  ${CMAKE_CURRENT_LIST_DIR}/filemove.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lasterror.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wildcard.cpp
)
if(WIN32)
  list(APPEND _qv_platform_fs_sources
    ${CMAKE_CURRENT_LIST_DIR}/win32/file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/filesys.cpp
  )
else()
  list(APPEND _qv_platform_fs_sources
    ${CMAKE_CURRENT_LIST_DIR}/file.cpp
    ${CMAKE_CURRENT_LIST_DIR}/filesys.cpp
  )
endif()
add_library(qv_platform_fs STATIC ${_qv_platform_fs_sources})
target_link_libraries(qv_platform_fs PUBLIC qv_platform)

# System services beside the file layer: registry store, clipboard, message
# boxes, shell open, child processes, GUIDs, error texts and the trace-viewer
# channel (qv_platform_sys).
add_library(qv_platform_sys STATIC
  ${CMAKE_CURRENT_LIST_DIR}/clipboard.cpp
  ${CMAKE_CURRENT_LIST_DIR}/errortext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/guid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messagebox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/replacefile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/traceviewer.cpp
)
target_link_libraries(qv_platform_sys PUBLIC qv_platform qv_platform_fs)

# System services beside the file layer: registry, clipboard, message boxes,
# shell open, child processes, GUIDs, error texts and the trace-viewer channel
# (qv_platform_sys). On Linux the registry and the clipboard are files
# written through replacefile.cpp; on Windows they are the system's own.
set(_qv_platform_sys_sources
  ${CMAKE_CURRENT_LIST_DIR}/cmdline.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messagebox.cpp
  ${CMAKE_CURRENT_LIST_DIR}/processstart.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stdinreader.cpp
)
if(WIN32)
  list(APPEND _qv_platform_sys_sources
    ${CMAKE_CURRENT_LIST_DIR}/win32/clipboard.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/errortext.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/guid.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/programargs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/shell.cpp
    ${CMAKE_CURRENT_LIST_DIR}/win32/traceviewer.cpp
  )
else()
  list(APPEND _qv_platform_sys_sources
    ${CMAKE_CURRENT_LIST_DIR}/clipboard.cpp
    ${CMAKE_CURRENT_LIST_DIR}/errortext.cpp
    ${CMAKE_CURRENT_LIST_DIR}/guid.cpp
    ${CMAKE_CURRENT_LIST_DIR}/process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/programargs.cpp
    ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/replacefile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/shell.cpp
    ${CMAKE_CURRENT_LIST_DIR}/traceviewer.cpp
  )
endif()
add_library(qv_platform_sys STATIC ${_qv_platform_sys_sources})
target_link_libraries(qv_platform_sys PUBLIC qv_platform qv_platform_fs Threads::Threads)
if(WIN32)
  # user32: clipboard and trace-viewer windows; shell32: ShellExecuteW;
  # rpcrt4: UuidCreate; advapi32: the registry.
  target_link_libraries(qv_platform_sys PUBLIC user32 shell32 rpcrt4 advapi32)
endif()

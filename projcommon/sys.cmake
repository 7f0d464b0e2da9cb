# MD5 digests, registry/GUID/process helpers, the trace log and the stream
# buffer (qv_projcommon_sys).
add_library(qv_projcommon_sys STATIC
  ${CMAKE_CURRENT_LIST_DIR}/md5.cpp
  ${CMAKE_CURRENT_LIST_DIR}/streambuf.cpp
  ${CMAKE_CURRENT_LIST_DIR}/syshelpers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tracelog2.cpp
)
target_link_libraries(qv_projcommon_sys PUBLIC qv_projcommon_files qv_platform_sys qv_projcommon_text)

# Host entry, output log, global objects and the frame server/session.
# The sources are compiled once (qv_framework_objects) and packed twice: as the
# static archive qv_framework that tests link, and as libQuorvelS.so, which
# exports CommandProc alone (quorvels.map).
add_library(qv_framework_objects OBJECT
  ${CMAKE_CURRENT_LIST_DIR}/globals.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hostentry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvserver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvsession.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvpackets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvroom.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvroomsettle.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qvroomcommand.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dbprocess.cpp
)
target_include_directories(qv_framework_objects PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qv_framework_objects PUBLIC qv_common qv_frame_support qv_projcommon_version)
set_target_properties(qv_framework_objects PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)

add_library(qv_framework STATIC $<TARGET_OBJECTS:qv_framework_objects>)
target_link_libraries(qv_framework PUBLIC qv_common qv_frame_support qv_projcommon_version)

qv_shared_library(QuorvelS $<TARGET_OBJECTS:qv_framework_objects>)
target_link_libraries(QuorvelS PRIVATE qv_common qv_frame_support qv_projcommon_version)
if(WIN32)
  # QuorvelS.dll exports CommandProc alone: the one symbol marked for export.
  target_compile_definitions(qv_framework_objects PRIVATE QV_BUILDING_QUORVELS)
else()
  target_link_options(QuorvelS PRIVATE "-Wl,--version-script=${CMAKE_CURRENT_LIST_DIR}/quorvels.map")
  set_target_properties(QuorvelS PROPERTIES LINK_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/quorvels.map)
endif()

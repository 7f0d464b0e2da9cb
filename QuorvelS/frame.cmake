# The game-module interface (the public header gamemodule.h), the game-module
# loader, the login-window clock and the login-failure limiter
# (qv_frame_support).
add_library(qv_frame_support STATIC
  ${CMAKE_CURRENT_LIST_DIR}/global.cpp
  ${CMAKE_CURRENT_LIST_DIR}/loginstring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/loginguard.cpp
)
target_include_directories(qv_frame_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qv_frame_support PUBLIC qv_projcommon qv_projcommon_login qv_platform)

# A studio builds its game module out of tree against this one header.

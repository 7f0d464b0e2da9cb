# GameServer.dll: the example game module, built by the same helper an
# out-of-tree module uses (cmake/QuorvelSGameModule.cmake), with its icon.
quorvels_add_game_module(ExampleGame
  VERSION 1.0.0.1
  SOURCES dicegame.cpp
  PRODUCT_NAME "QuorvelS example game"
  COMPANY_NAME "QuorvelS"
  ICON ${CMAKE_CURRENT_SOURCE_DIR}/exampledice.ico)
target_link_libraries(ExampleGame PRIVATE qv_dicetable)
target_include_directories(ExampleGame PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(ExampleGame PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/games/ExampleGame)

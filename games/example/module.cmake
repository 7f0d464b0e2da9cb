# GameServer.dll: the example game module, an ELF shared object under the name
# the deployment expects, with its version information and icon embedded.
add_library(ExampleGame MODULE dicegame.cpp)
target_link_libraries(ExampleGame PRIVATE qv_dicetable)
target_include_directories(ExampleGame PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(ExampleGame PROPERTIES
  PREFIX "" OUTPUT_NAME "GameServer" SUFFIX ".dll"
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/games/ExampleGame
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_options(ExampleGame PRIVATE -Wl,--no-undefined)
if(COMMAND qv_add_version_info)
  qv_add_version_info(ExampleGame
    FILE_DESCRIPTION "ExampleGame"
    FILE_VERSION 1.0.0.1
    PRODUCT_VERSION 1.0.0.1
    PRODUCT_NAME "QuorvelS example game"
    COMPANY_NAME "QuorvelS"
    ORIGINAL_FILENAME "GameServer.dll")
endif()
if(COMMAND qv_add_icon)
  qv_add_icon(ExampleGame FILE ${CMAKE_CURRENT_SOURCE_DIR}/exampledice.ico)
endif()

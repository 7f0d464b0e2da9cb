# quorvels_add_game_module: builds a game module the way the framework loads
# it — a shared object named GameServer.dll, only its two exports visible,
# every symbol resolved at link time, with its identity embedded as version
# information. The module's name (FileDescription) is what the framework
# shows and what names its banker account and tax records in the database.
#
#   quorvels_add_game_module(NAME VERSION a.b.c.d SOURCES file...
#       [DESCRIPTION text]   default NAME: the game's name in the database
#       [PRODUCT_NAME text] [COMPANY_NAME text] [ICON file.ico])
#
# Used by the framework's own example game and, through find_package(QuorvelS),
# by modules built out of tree. It needs qv_add_version_info and qv_add_icon
# (QvVersionInfo.cmake) and the target QuorvelS::GameModule (the include
# directory of QuorvelS/gamemodule.h).

function(quorvels_add_game_module name)
  cmake_parse_arguments(PARSE_ARGV 1 M "" "VERSION;DESCRIPTION;PRODUCT_NAME;COMPANY_NAME;ICON" "SOURCES")
  if(M_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "quorvels_add_game_module(${name}): unknown arguments ${M_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT M_VERSION OR NOT M_SOURCES)
    message(FATAL_ERROR "quorvels_add_game_module(${name}): VERSION a.b.c.d and SOURCES are required")
  endif()
  if(NOT M_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "quorvels_add_game_module(${name}): VERSION must be four numbers a.b.c.d, got ${M_VERSION}")
  endif()
  if(NOT DEFINED M_DESCRIPTION)
    set(M_DESCRIPTION ${name})
  endif()
  add_library(${name} MODULE ${M_SOURCES})
  target_link_libraries(${name} PRIVATE QuorvelS::GameModule)
  set_target_properties(${name} PROPERTIES
    PREFIX "" OUTPUT_NAME "GameServer" SUFFIX ".dll"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${name} PRIVATE -Wl,--no-undefined)
  set(info FILE_DESCRIPTION "${M_DESCRIPTION}" FILE_VERSION ${M_VERSION} PRODUCT_VERSION ${M_VERSION}
      ORIGINAL_FILENAME "GameServer.dll")
  if(DEFINED M_PRODUCT_NAME)
    list(APPEND info PRODUCT_NAME "${M_PRODUCT_NAME}")
  endif()
  if(DEFINED M_COMPANY_NAME)
    list(APPEND info COMPANY_NAME "${M_COMPANY_NAME}")
  endif()
  qv_add_version_info(${name} ${info})
  if(DEFINED M_ICON)
    qv_add_icon(${name} FILE ${M_ICON})
  endif()
endfunction()

# The runtime tree. `cmake --install` lays it out under the prefix, and the
# build lays the same tree out in build/stage/ (target `stage`, part of ALL),
# so the framework's default relative paths work unchanged when the host runs
# in Server/:
#   bin/      quorvel-host qvadmin qvplay qvbot qvtraceview qvverres
#   lib/      libQuorvelS.so libQ7NetDrv.so libDBCtrl.so
#             (on Windows QuorvelS.dll, Q7NetDrv.dll and DBCtrl.dll are in bin/)
#   Server/   working directory of the host: QuorvelS.ini, TLOG/, Logs/
#   Binaries/ ServerBaseConfig.ini, dbc/, GS/ExampleGame/GameServer.dll and DB/
#   include/QuorvelS/gamemodule.h   for game modules built out of tree
#   include/QuorvelS/quorvels.h, include/common/hostapi.h, include/common/hostmetrics.h   for hosts
#   lib/cmake/QuorvelS/             their CMake package (quorvels_add_game_module)
#   share/web/                      the browser client (the static page and its serve.py)

set(CMAKE_INSTALL_MESSAGE LAZY)
set(QV_STAGE_DIR ${CMAKE_BINARY_DIR}/stage)

function(qv_stage_install)
  # Every build has all of them; a missing one fails install(TARGETS).
  set(libraries QuorvelS Q7NetDrv DBCtrl)
  if(WIN32)
    # Windows finds a program's DLLs beside it, so the libraries go into bin/
    # as well (the host loads QuorvelS.dll from its own directory). qvbot and
    # qvverres are Linux tools.
    set(programs quorvel-host qvadmin qvplay qvtraceview)
  else()
    set(programs quorvel-host qvadmin qvplay qvbot qvtraceview qvverres)
    set_target_properties(${programs} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
  endif()
  install(TARGETS ${programs} RUNTIME DESTINATION bin)
  install(TARGETS ${libraries} RUNTIME DESTINATION bin LIBRARY DESTINATION lib ARCHIVE EXCLUDE_FROM_ALL)
  install(TARGETS ExampleGame RUNTIME DESTINATION Binaries/GS/ExampleGame LIBRARY DESTINATION Binaries/GS/ExampleGame
          ARCHIVE EXCLUDE_FROM_ALL)
  install(DIRECTORY DESTINATION Server/TLOG)
  install(DIRECTORY DESTINATION Server/Logs)
  install(DIRECTORY DESTINATION Binaries/dbc)
  install(DIRECTORY DESTINATION Binaries/GS/ExampleGame/DB)
  install(FILES ${PROJECT_SOURCE_DIR}/QuorvelS/gamemodule.h DESTINATION include/QuorvelS)
  install(FILES ${PROJECT_SOURCE_DIR}/QuorvelS/quorvels.h DESTINATION include/QuorvelS)
  install(FILES ${PROJECT_SOURCE_DIR}/common/hostapi.h ${PROJECT_SOURCE_DIR}/common/hostmetrics.h
          DESTINATION include/common)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/client/web/ DESTINATION share/web USE_SOURCE_PERMISSIONS)  # the browser client
  # The package for game modules built out of tree: find_package(QuorvelS)
  # with CMAKE_PREFIX_PATH at the installed tree.
  include(CMakePackageConfigHelpers)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/QuorvelSConfig.cmake.in
                 ${CMAKE_BINARY_DIR}/package/QuorvelSConfig.cmake @ONLY)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/QuorvelSConfigVersion.cmake
                                   VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/package/QuorvelSConfig.cmake
                ${CMAKE_BINARY_DIR}/package/QuorvelSConfigVersion.cmake
                ${PROJECT_SOURCE_DIR}/cmake/QvVersionInfo.cmake
                ${PROJECT_SOURCE_DIR}/cmake/QuorvelSGameModule.cmake
          DESTINATION lib/cmake/QuorvelS)

  # build/stage: the same tree, refreshed by every build.
  add_custom_target(stage ALL
    COMMAND ${CMAKE_COMMAND} --install ${CMAKE_BINARY_DIR} --prefix ${QV_STAGE_DIR}
    COMMENT "Staging the runtime tree in ${QV_STAGE_DIR}"
    VERBATIM)
  add_dependencies(stage ${programs} ${libraries} ExampleGame)
endfunction()

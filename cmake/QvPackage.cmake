# The Debian package of the runtime tree (cpack -G DEB, or the target
# `deb`). The tree goes under one prefix, /opt/quorvels, as it is laid out by
# the install rules of cmake/QvStage.cmake: the framework's default paths are
# relative to Server/ and the programs find their libraries through
# $ORIGIN/../lib. Beside the tree the package has what only a system install
# needs, in the component "system", which plain `cmake --install` and the
# stage leave out (EXCLUDE_FROM_ALL):
#   /usr/bin/{quorvel-host,qvadmin,qvplay,qvbot}   symlinks into the tree
#   /lib/systemd/system/quorvel-host.service       the service, installed disabled
# The maintainer scripts (packaging/*.in) create the service user and hand it
# the directories the server writes. The game-module SDK (the headers and the
# CMake package) is in the same package: the install rules put it in the one
# unnamed component with the tools, and the CMake package needs bin/qvverres
# of the tree anyway.

set(QV_PACKAGE_PREFIX /opt/quorvels)
set(QV_SERVICE_USER quorvels)
set(QV_PACKAGE_MAINTAINER "QuorvelS maintainers <maintainers@quorvels.invalid>" CACHE STRING
    "Maintainer field of the Debian package")

set(_qv_pkg_dir ${CMAKE_BINARY_DIR}/package/deb)
file(MAKE_DIRECTORY ${_qv_pkg_dir}/usr-bin)

# The commands operators type, on the PATH. The links are absolute (they go
# from /usr to /opt); the programs still find their libraries, as $ORIGIN is
# the directory of the link's target.
set(_qv_pkg_links)
foreach(_qv_cmd quorvel-host qvadmin qvplay qvbot)
  file(CREATE_LINK ${QV_PACKAGE_PREFIX}/bin/${_qv_cmd} ${_qv_pkg_dir}/usr-bin/${_qv_cmd} SYMBOLIC)
  list(APPEND _qv_pkg_links ${_qv_pkg_dir}/usr-bin/${_qv_cmd})
endforeach()
install(FILES ${_qv_pkg_links} DESTINATION /usr/bin COMPONENT system EXCLUDE_FROM_ALL)

configure_file(${PROJECT_SOURCE_DIR}/packaging/quorvel-host.service.in
               ${_qv_pkg_dir}/quorvel-host.service @ONLY)
install(FILES ${_qv_pkg_dir}/quorvel-host.service DESTINATION /lib/systemd/system
        COMPONENT system EXCLUDE_FROM_ALL)

set(_qv_pkg_scripts)
foreach(_qv_script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/${_qv_script}.in ${_qv_pkg_dir}/${_qv_script}
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                 GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND _qv_pkg_scripts ${_qv_pkg_dir}/${_qv_script})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvels)
set(CPACK_PACKAGE_VENDOR "QuorvelS")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "game-room server framework, its host, tools and example game")
set(CPACK_PACKAGING_INSTALL_PREFIX ${QV_PACKAGE_PREFIX})
# The binaries of the package lose their symbol tables (the build tree keeps
# them); the dynamic symbols the host and the framework look up stay.
set(CPACK_STRIP_FILES ON)
# The install rules of the tree are the unnamed component; "system" adds the
# links and the unit. One package holds both.
set(CPACK_COMPONENTS_ALL Unspecified system)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_DEBIAN_PACKAGE_NAME quorvels)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The long description (the summary above is its first line); CPack indents
# the lines and turns the empty one into the paragraph mark.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"The framework library serves TCP and WebSocket clients: logins against a
platform database (SQLite, or PostgreSQL shared by several servers), the
room list, seats, game coins bought with gold and settled after each game,
and an operator log and console. The package holds the host program
quorvel-host with a systemd unit (installed disabled), the network driver,
the database library, an example dice game, the terminal client qvplay,
the load generator qvbot, the administration tool qvadmin, the trace viewer
and the SDK for game modules (headers and a CMake package).

Everything is installed under /opt/quorvels.")
# The shared libraries the binaries need, from dpkg-shlibdeps (dpkg-dev);
# the tree's own libraries are found through $ORIGIN/../lib and skipped.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The postinst creates the service user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_qv_pkg_scripts})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# include(CPack) also makes the target package_source: its tarball leaves out
# git and the build directories.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)

# The package from a build tree that only has the runtime tree built.
add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Building the Debian package in ${CMAKE_BINARY_DIR}"
  VERBATIM)
add_dependencies(deb stage)

# The Windows build: the framework library, the network driver, the database
# library, the example game, the host, qvadmin, qvplay, qvtraceview and their
# tests, cross-built with MinGW-w64 (cmake/toolchain-mingw64.cmake, preset
# "windows"). The folders are the Linux build's own; platform/ picks its Win32
# services there. The tests run under Wine, one CTest test per test program
# (tests/windows).

include(cmake/QvHelpers.cmake)
include(cmake/QvVersionInfo.cmake)
include(cmake/QuorvelSGameModule.cmake)
add_library(qv_gamemodule_api INTERFACE)
target_include_directories(qv_gamemodule_api INTERFACE ${PROJECT_SOURCE_DIR})
add_library(QuorvelS::GameModule ALIAS qv_gamemodule_api)

# Windows names its modules without the "lib" prefix (QuorvelS.dll).
set(CMAKE_SHARED_LIBRARY_PREFIX "")
set(CMAKE_SHARED_MODULE_PREFIX "")
# Unicode Win32 API, no min/max macros, Windows 7 and later (the oldest
# system the Win32 calls of platform/ need).
add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)

# The driver's header-only libraries (standalone Asio, Boost.Beast) are
# Debian's, under /usr/include; the cross compiler must not see the rest of
# /usr/include (the Linux C library), so it gets a directory holding just
# those two trees.
set(QV_WINDOWS_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${QV_WINDOWS_HEADERS})
foreach(entry asio asio.hpp boost)
  if(NOT EXISTS /usr/include/${entry})
    message(FATAL_ERROR "The network driver needs /usr/include/${entry}: install the Debian packages libasio-dev and libboost-dev")
  endif()
  file(CREATE_LINK /usr/include/${entry} ${QV_WINDOWS_HEADERS}/${entry} SYMBOLIC)
endforeach()
set(QV_ASIO_INCLUDE_DIR ${QV_WINDOWS_HEADERS})
set(QV_BEAST_INCLUDE_DIR ${QV_WINDOWS_HEADERS})
find_package(Threads REQUIRED)

# SQLite: Debian has none built for MinGW, so it is compiled here from the
# one-file source that scripts/deps.sh (qv_install_windows_deps) makes from
# Debian's SQLite sources. PostgreSQL's client library is not there either:
# the database library is built without its PostgreSQL backend.
set(QV_WINDOWS_SQLITE_DIR /usr/local/share/quorvels-windows/sqlite CACHE PATH
    "Directory holding sqlite3.c and sqlite3.h for the Windows build")
if(NOT EXISTS ${QV_WINDOWS_SQLITE_DIR}/sqlite3.c OR NOT EXISTS ${QV_WINDOWS_SQLITE_DIR}/sqlite3.h)
  message(FATAL_ERROR "The Windows database library needs SQLite's one-file source in ${QV_WINDOWS_SQLITE_DIR}: "
                      "run (as root) bash -c 'source scripts/deps.sh && qv_install_windows_deps', or set "
                      "QV_WINDOWS_SQLITE_DIR to a directory holding sqlite3.c and sqlite3.h")
endif()
add_library(qv_sqlite3 STATIC ${QV_WINDOWS_SQLITE_DIR}/sqlite3.c)
target_include_directories(qv_sqlite3 SYSTEM PUBLIC ${QV_WINDOWS_SQLITE_DIR})
# Serialized threading as Debian builds it; no run-time extension loading
# (the library never loads one); someone else's code, so its warnings are not ours.
target_compile_definitions(qv_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION SQLITE_DQS=0)
target_compile_options(qv_sqlite3 PRIVATE -w)
set_target_properties(qv_sqlite3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
add_library(SQLite::SQLite3 ALIAS qv_sqlite3)

# Build-tree paths compiled into the tests are Linux paths; under Wine the
# same files are on drive Z:, and a path without the drive would follow
# whatever drive a test's working directory is on.
if(CMAKE_HOST_UNIX)
  set(QV_TEST_PATH_PREFIX "Z:")
endif()

foreach(dir platform projcommon common netdrv dbctrl QuorvelS games/example host client tools)
  add_subdirectory(${dir})
endforeach()

if(QV_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()

# The runtime tree in build-windows/stage, as on Linux.
include(cmake/QvStage.cmake)
qv_stage_install()

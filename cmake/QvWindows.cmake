# The Windows build: the framework library, the example game and their tests,
# cross-built with MinGW-w64 (cmake/toolchain-mingw64.cmake, preset
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

# Build-tree paths compiled into the tests are Linux paths; under Wine the
# same files are on drive Z:, and a path without the drive would follow
# whatever drive a test's working directory is on.
if(CMAKE_HOST_UNIX)
  set(QV_TEST_PATH_PREFIX "Z:")
endif()

foreach(dir platform projcommon common netdrv QuorvelS games/example)
  add_subdirectory(${dir})
endforeach()

if(QV_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests/windows)
endif()

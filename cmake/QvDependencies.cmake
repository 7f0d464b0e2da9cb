# The system packages the build needs, looked for once, here, so that every
# folder below sees the same imported targets. A missing one stops the
# configuration and names the Debian package that provides it
# (scripts/deps.sh installs them all).

find_package(Threads REQUIRED)

# The network driver: standalone Asio, headers only.
find_path(QV_ASIO_INCLUDE_DIR asio.hpp)
if(NOT QV_ASIO_INCLUDE_DIR)
  message(FATAL_ERROR "The network driver needs standalone Asio (asio.hpp): install the Debian package libasio-dev")
endif()
# Its WebSocket port: Boost.Beast, headers only.
find_path(QV_BEAST_INCLUDE_DIR boost/beast/websocket.hpp)
if(NOT QV_BEAST_INCLUDE_DIR)
  message(FATAL_ERROR "The network driver needs Boost.Beast (boost/beast/websocket.hpp): install the Debian package libboost-dev")
endif()

# The database library, qvadmin, the benchmarks and the storage-fault tests:
# SQLite and PostgreSQL's client library.
find_package(SQLite3)
if(NOT SQLite3_FOUND)
  message(FATAL_ERROR "The database library needs SQLite 3: install the Debian package libsqlite3-dev")
endif()
find_package(PkgConfig)
if(NOT PKG_CONFIG_FOUND)
  message(FATAL_ERROR "Finding libpq needs pkg-config: install the Debian package pkg-config")
endif()
pkg_check_modules(QV_LIBPQ IMPORTED_TARGET libpq)
if(NOT QV_LIBPQ_FOUND)
  message(FATAL_ERROR "The database library needs PostgreSQL's client library: install the Debian package libpq-dev")
endif()

# The tests: GoogleTest with GoogleMock, and Python for the layering check.
# The PostgreSQL server the database tests start (tests/integration) is looked
# for when they run: pgcluster.sh fails without it unless QV_SKIP_POSTGRES=1.
if(QV_BUILD_TESTS)
  find_package(GTest)
  if(NOT GTest_FOUND OR NOT TARGET GTest::gmock)
    message(FATAL_ERROR "The tests need GoogleTest and GoogleMock: install the Debian packages libgtest-dev and "
                        "libgmock-dev, or configure with -DQV_BUILD_TESTS=OFF")
  endif()
  include(GoogleTest)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    message(FATAL_ERROR "The layering tests need Python 3: install the Debian package python3, "
                        "or configure with -DQV_BUILD_TESTS=OFF")
  endif()
endif()

#!/usr/bin/env bash
# Build QuorvelS and run every test. On a fresh Debian 12 machine (as root) it
# first installs whatever build or test dependency is missing.
#   ./test.sh                 configure build/, build, run all tests
#   BUILD_DIR=x ./test.sh     use another build directory
#   CTEST_ARGS="-R Ini" ./test.sh   pass arguments to ctest
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
qv_install_missing_deps

BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}

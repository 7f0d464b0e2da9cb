#!/usr/bin/env bash
# Build QuorvelS and run every test. On a fresh Debian 12 machine (as root) it
# first installs whatever build or test dependency is missing.
#   ./test.sh            configure build/, build, run all tests
#   BUILD_DIR=x ./test.sh   use another build directory
set -euo pipefail
cd "$(dirname "$0")"

DEPS=(g++ gcc make cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
      libasio-dev libsqlite3-dev sqlite3 libpq-dev postgresql)

missing=()
for p in "${DEPS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "test.sh: installing missing packages: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "test.sh: need root to install ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}

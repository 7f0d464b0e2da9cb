#!/usr/bin/env bash
# Start the QuorvelS demo server. On a fresh Debian 12 machine (as root) it
# installs what is missing, builds, lays out the runtime tree in build/stage,
# seeds two demo users on the first run (alice and bob, 1,000,000 gold each),
# prints the qvplay command lines that log them in, and starts quorvel-host in
# build/stage/Server on the default port 41010 with the login-key check on.
# Later runs keep the databases. Stop the server with "quit" or Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/deps.sh
qv_install_missing_deps

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
# Only the runtime tree (server, libraries, game, tools), not the tests.
cmake --build "$BUILD_DIR" -j "$(nproc)" --target stage

STAGE=$(cd "$BUILD_DIR/stage" && pwd)
ADMIN="$STAGE/bin/qvadmin"
for user in alice bob; do
  if ! "$ADMIN" user show "$user" > /dev/null 2>&1; then
    "$ADMIN" user add "$user" --gold 1000000 > /dev/null
    echo "created demo user $user with 1,000,000 gold"
  fi
done

echo
echo "The server starts below. In another terminal, play with:"
for user in alice bob; do
  echo "  $STAGE/bin/qvplay --user $user --login-string $("$ADMIN" loginstring "$user")"
done
echo "(then: rooms, buy, join 0, ready, chat hello, leave, quit — see qvplay --help)"
echo

cd "$STAGE/Server"
exec "$STAGE/bin/quorvel-host" --config QuorvelS.ini

#!/bin/sh
# Starts or stops a throwaway PostgreSQL cluster for the DBCtrl tests and
# benchmarks: created with initdb in a fresh temporary directory, listening on
# a Unix socket in that directory only (no TCP), trust authentication, user
# "postgres". initdb and postgres refuse to run as root, so as root the
# cluster belongs to the "postgres" system user and its commands run through
# runuser.
#
#   pgcluster.sh start STATEFILE [fast]   writes the directory to STATEFILE
#   pgcluster.sh stop STATEFILE           stops the cluster, removes it and STATEFILE
#
# "fast" turns fsync off (tests); without it the server syncs as shipped
# (benchmarks). When the binaries are missing, start fails, unless
# QV_SKIP_POSTGRES=1, in which case STATEFILE says "skip".
set -eu
PGBIN=${QV_PG_BIN:-/usr/lib/postgresql/15/bin}
cmd=${1:-}
state=${2:-}
[ -n "$cmd" ] && [ -n "$state" ] || { echo "usage: $0 start|stop STATEFILE [fast]" >&2; exit 2; }

as_owner() {
  if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "$cmd" in
start)
  if [ ! -x "$PGBIN/initdb" ] || [ ! -x "$PGBIN/pg_ctl" ]; then
    if [ "${QV_SKIP_POSTGRES:-0}" = 1 ]; then
      echo skip > "$state"
      echo "pgcluster: PostgreSQL binaries missing in $PGBIN; postgres tests skipped (QV_SKIP_POSTGRES=1)"
      exit 0
    fi
    echo "pgcluster: PostgreSQL binaries missing in $PGBIN (install the package postgresql, or set QV_SKIP_POSTGRES=1)" >&2
    exit 1
  fi
  dir=$(mktemp -d /tmp/qvpg.XXXXXX)
  if [ "$(id -u)" = 0 ]; then chown postgres: "$dir"; fi
  chmod 700 "$dir"
  as_owner "$PGBIN/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C >"$dir/initdb.log" 2>&1 || {
    cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }
  opts="-c listen_addresses='' -k $dir -c max_connections=60"
  if [ "${3:-}" = fast ]; then opts="$opts -c fsync=off -c full_page_writes=off"; fi
  as_owner "$PGBIN/pg_ctl" -D "$dir/data" -l "$dir/server.log" -o "$opts" -w -t 60 start >/dev/null || {
    cat "$dir/server.log" >&2; rm -rf "$dir"; exit 1; }
  echo "$dir" > "$state"
  echo "pgcluster: started in $dir"
  ;;
stop)
  [ -f "$state" ] || exit 0
  dir=$(cat "$state")
  if [ "$dir" != skip ] && [ -d "$dir/data" ]; then
    as_owner "$PGBIN/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1 || true
    rm -rf "$dir"
  fi
  rm -f "$state"
  ;;
*)
  echo "usage: $0 start|stop STATEFILE [fast]" >&2; exit 2 ;;
esac

#!/bin/sh
# Runs the DBCtrl benchmark on SQLite and on a throwaway PostgreSQL 15 cluster
# (fsync on, as shipped; Unix socket only), in one invocation, and removes the
# cluster afterwards.
#   bench/dbctrl/run.sh [BUILD_DIR] [extra dbctrl_bench options]
# e.g. bench/dbctrl/run.sh build --rounds 5 --seconds 2
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build}
[ $# -gt 0 ] && shift
bench="$build/bin/dbctrl_bench"
[ -x "$bench" ] || { echo "run.sh: $bench not built (cmake --build $build --target dbctrl_bench)" >&2; exit 1; }
state=$(mktemp /tmp/qvbenchpg.XXXXXX)
trap 'sh "$root/tests/integration/dbctrl/pgcluster.sh" stop "$state"' EXIT
sh "$root/tests/integration/dbctrl/pgcluster.sh" start "$state" >&2
dir=$(cat "$state")
"$bench" --backend both --conninfo "host=$dir user=postgres dbname=postgres" "$@"

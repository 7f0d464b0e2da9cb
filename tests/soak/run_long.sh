#!/usr/bin/env bash
# The long form of the chaos soak: qv_soak for half an hour (by default) with
# more bots, progress every few seconds, and the summary at the end (duration,
# users, faults injected per kind, audits passed and busy, the host's RSS and
# descriptors at the start, after the warm-up and at the end).
set -euo pipefail

usage() {
    cat <<'USAGE'
usage: tests/soak/run_long.sh [--duration S] [--users N] [--seed N] [--build DIR] [-- QV_SOAK_ARGS...]

Runs the chaos soak (qv_soak) against quorvel-host in a private copy of the
staged tree. Defaults, also settable in the environment:
  --duration S   SOAK_DURATION   1800 (30 minutes)
  --users N      SOAK_USERS      24 (bots, four to a table; 4 to 64)
  --seed N       SOAK_SEED       1
  --build DIR    SOAK_BUILD      build (the build directory; qv_soak and the
                                 staged tree are built there first)
Arguments after "--" go to qv_soak as they are (see qv_soak --help), e.g.
--rss-tolerance-kib, --warmup, --audit-every, --progress-every.
The summary is printed at the end; the exit status is qv_soak's (0 passed).
USAGE
}

duration=${SOAK_DURATION:-1800}
users=${SOAK_USERS:-24}
seed=${SOAK_SEED:-1}
build=${SOAK_BUILD:-build}
extra=()
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --duration) duration=${2:?--duration needs a value}; shift 2 ;;
        --users) users=${2:?--users needs a value}; shift 2 ;;
        --seed) seed=${2:?--seed needs a value}; shift 2 ;;
        --build) build=${2:?--build needs a value}; shift 2 ;;
        --) shift; extra=("$@"); break ;;
        *) echo "run_long.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
    esac
done

root=$(cd "$(dirname "$0")/../.." && pwd)
case "$build" in /*) ;; *) build="$root/$build" ;; esac
if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "run_long.sh: $build is not a configured build directory (cmake -S . -B $build -G Ninja)" >&2
    exit 2
fi
echo "run_long.sh: building qv_soak and the staged tree in $build"
cmake --build "$build" --target qv_soak -j2 >/dev/null
exec "$build/tests/qv_soak" --duration "$duration" --users "$users" --seed "$seed" --progress-every 5 "${extra[@]}"

#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and reports executions, exec/s and
# findings per target.
#
#   bench/fuzz/run.sh                   # 60 s per target, 2 parallel jobs
#   FUZZ_SECONDS=600 bench/fuzz/run.sh fuzz_wire_framing
#
# Environment: FUZZ_SECONDS (per target, default 60), FUZZ_JOBS (parallel
# fuzzing processes per target, default 2: one per core of the reference
# machine), FUZZ_BUILD_DIR (default build-fuzz; configured and built here
# unless FUZZ_NO_BUILD=1). The seed corpus in tests/fuzz/corpus is read, not
# changed: each run grows a working corpus under $FUZZ_BUILD_DIR/fuzz-run/.
# Crashing inputs land in $FUZZ_BUILD_DIR/fuzz-run/<target>/findings/. The
# exit status is 1 when any target found something.
set -euo pipefail
cd "$(dirname "$0")/../.."

SECONDS_PER_TARGET=${FUZZ_SECONDS:-60}
JOBS=${FUZZ_JOBS:-2}
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
ALL_TARGETS=(fuzz_server_dispatch fuzz_wire_framing fuzz_ini_format)
TARGETS=("$@")
((${#TARGETS[@]})) || TARGETS=("${ALL_TARGETS[@]}")

if [[ ${FUZZ_NO_BUILD:-0} != 1 ]]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQV_BUILD_FUZZ=ON -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF >/dev/null
  cmake --build "$BUILD" -j "$JOBS" --target "${TARGETS[@]}" >/dev/null
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
status=0
printf '%-22s %8s %14s %10s %s\n' target seconds executions exec/s findings
for t in "${TARGETS[@]}"; do
  bin=$(realpath "$BUILD/fuzz/$t")
  run=$(realpath -m "$BUILD/fuzz-run/$t")
  rm -rf "$run/logs" "$run/findings"
  mkdir -p "$run/corpus" "$run/findings" "$run/logs"
  seeds=$(realpath tests/fuzz/corpus/$t)
  # -fork: JOBS fuzzing processes sharing the working corpus; a finding is
  # saved and fuzzing goes on, so that one fault does not end the run.
  (cd "$run/logs" && "$bin" -max_total_time="$SECONDS_PER_TARGET" -fork="$JOBS" -ignore_crashes=1 \
     -ignore_timeouts=1 -ignore_ooms=1 -artifact_prefix="$run/findings/" "$run/corpus" "$seeds" \
     >"$run/logs/fuzz.log" 2>&1) || true
  # The parent's last status line: "#<execs>: cov: .. exec/s: <rate> ...".
  last=$(grep -E '^#[0-9]+:' "$run/logs/fuzz.log" | tail -1 || true)
  execs=$(sed -n 's/^#\([0-9]*\):.*/\1/p' <<<"$last")
  execs=${execs:-0}
  rate=$((execs / SECONDS_PER_TARGET))  # the status line's own rate is per job
  nfind=$(find "$run/findings" -type f | wc -l)
  ((nfind == 0)) || status=1
  printf '%-22s %8s %14s %10s %s\n' "$t" "$SECONDS_PER_TARGET" "$execs" "$rate" "$nfind"
  # The first few findings, each replayed once for its message.
  find "$run/findings" -type f | head -5 | while read -r f; do
    msg=$("$bin" "$f" 2>&1 | grep -m1 -E 'invariant broken|runtime error|ERROR: AddressSanitizer' || true)
    printf '    %s: %s\n' "${f#"$run"/}" "$msg"
  done
done
exit "$status"

#!/usr/bin/env bash
# ./run bench: builds the Release benchmark configuration (build-bench/),
# runs the whole-process harness against cat, procmail and grep, then the
# micro-benchmarks, and writes bench/results.md and the scaling plot
# docs/performance-scaling.svg. Extra arguments go to the harness, e.g.
#   ./run bench --scale 0.3              fewer rounds (a quick look)
#   ./run bench --only deliver4k,lists   some scenarios only
#   ./run bench --before OLD/sendvetter  an earlier build beside this one
#                                        (queue sizes; drawn dashed in the plot)
# The scenarios are listed by name at the end of bench/scenarios.cpp.
# Then the kill test at length (SENDVETTER_KILL_ACTIONS, default 2000) in the
# test build, its summary line added to bench/results.md.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-bench"
jobs=$(nproc 2>/dev/null || echo 2)

missing=()
for pkg in g++ cmake make pkg-config libpcre2-dev libbenchmark-dev libgtest-dev procmail grep python3; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # Another apt-get may hold the lock for a while: wait for it.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
fi

echo "== building (Release) in $build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSENDVETTER_SANDBOX_HOST_PATHS=ON \
      -DSENDVETTER_TESTS=OFF -DSENDVETTER_BENCH=ON >/dev/null
cmake --build "$build" -j "$jobs" --target sendvetter sendvetter-panel \
      sendvetter_bench_harness sendvetter_bench_sendmail sendvetter_micro_bench >/dev/null

echo "== whole-process benchmarks (interleaved, medians)"
"$build/bench/sendvetter_bench_harness" \
  --results "$top/bench/results.md" --svg "$top/docs/performance-scaling.svg" "$@"

# After the harness: their thousands of scratch files must not leave the
# disk busy while processes are timed.
echo "== micro-benchmarks"
micro="$build/micro_results.txt"
"$build/bench/sendvetter_micro_bench" --benchmark_min_time=0.2 2>/dev/null | tee "$micro"

{
  echo
  echo "Micro-benchmarks of the same build (Google Benchmark):"
  echo
  echo '```'
  grep -E '^(BM_|Benchmark|-)' "$micro" || true
  echo '```'
} >> "$top/bench/results.md"
echo "== kill test, long run"
cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
      -DSENDVETTER_SANDBOX_HOST_PATHS=ON -DSENDVETTER_TESTS=ON >/dev/null
cmake --build "$top/build" -j "$jobs" --target sendvetter_tests >/dev/null
kill_log="$build/kill_results.txt"
SENDVETTER_KILL_ACTIONS=${SENDVETTER_KILL_ACTIONS:-2000} \
  "$top/build/tests/sendvetter_tests" --gtest_filter='Kill.*' | tee "$kill_log"
{
  echo
  echo "Kill test, long run (SIGKILL at random instants and named steps, retried until answered 0):"
  echo
  echo '```'
  grep -E '^kill:|PASSED|FAILED' "$kill_log" || true
  echo '```'
} >> "$top/bench/results.md"
echo "== wrote bench/results.md and docs/performance-scaling.svg"

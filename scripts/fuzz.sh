#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (address and undefined
# behaviour sanitizers) and runs each for a while.
#
#   scripts/fuzz.sh [SECONDS]     each target for SECONDS (default 60)
#   scripts/fuzz.sh --smoke       each target for 10 seconds (CI)
#
# Environment: SENDVETTER_FUZZ_BUILD (default build-fuzz in the repository),
# SENDVETTER_FUZZ_TARGETS (space-separated subset), CXX (a clang++).
# Seeds come from fuzz/corpus/<target>/ and are only read; what the fuzzer
# finds goes to the build directory's corpus/<target>/, crashes to its
# findings/. Exit status: 0 no finding, 1 a finding, 77 no clang here.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
case "${1:-}" in
  --smoke) seconds=10 ;;
  "") ;;
  *) seconds=$1 ;;
esac
build=${SENDVETTER_FUZZ_BUILD:-$top/build-fuzz}

cxx=${CXX:-}
if [ -z "$cxx" ] || ! "$cxx" --version 2>/dev/null | grep -q clang; then
  cxx=$(command -v clang++-14 || command -v clang++ || true)
fi
if [ -z "$cxx" ]; then
  echo "fuzz.sh: no clang++ here (Debian: clang-14 libclang-rt-14-dev); skipped"
  exit 77
fi

cmake -S "$top/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >"$build/build.log" 2>&1 || {
  tail -40 "$build/build.log"
  exit 1
}

targets=${SENDVETTER_FUZZ_TARGETS:-$(cd "$top/fuzz" && ls fuzz_*.cpp | sed 's/\.cpp$//')}
mkdir -p "$build/findings"
summary=()
status=0
for target in $targets; do
  work="$build/corpus/$target"
  seeds="$top/fuzz/corpus/$target"
  mkdir -p "$work" "$seeds"
  dict=()
  [ -f "$top/fuzz/dict/$target.dict" ] && dict=(-dict="$top/fuzz/dict/$target.dict")
  log="$build/$target.log"
  echo "== $target: ${seconds}s"
  set +e
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    "$build/$target" "$work" "$seeds" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
      -artifact_prefix="$build/findings/$target-" >"$log" 2>&1
  rc=$?
  set -e
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  if [ $rc -eq 0 ]; then
    summary+=("$target: ${seconds}s, $runs executions, no finding")
  else
    summary+=("$target: FINDING after $runs executions (exit $rc), see $log and $build/findings/")
    grep -E 'INVARIANT|ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
    status=1
  fi
done
echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
exit $status

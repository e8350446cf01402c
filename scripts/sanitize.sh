#!/usr/bin/env bash
# Builds the project with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the fast suite there (behaviour cases and unit tests; the programs under
# test are the sanitized builds too). Built with clang where there is one, the
# same tree holds the fuzz targets and runs each briefly (label "fuzz").
#
#   scripts/sanitize.sh [BUILD_DIR] [extra ctest arguments...]
#
# BUILD_DIR defaults to build-asan beside this script's repository. Every
# sanitizer report, also one from a child program whose exit status a test
# would not look at, is written to BUILD_DIR/sanitizer-reports/ and makes the
# script fail after ctest, with the reports printed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-asan}
[ $# -gt 0 ] && shift
jobs=$(nproc 2>/dev/null || echo 2)

cxx=$(command -v clang++-14 || command -v clang++ || command -v g++ || true)
if [ -z "$cxx" ] || ! command -v cmake >/dev/null; then
  echo "sanitize.sh: a C++ compiler and cmake are needed (./run installs them)" >&2
  exit 2
fi

cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" \
      -DSENDVETTER_SANITIZE=ON -DSENDVETTER_SANDBOX_HOST_PATHS=ON -DSENDVETTER_TESTS=ON \
      -DSENDVETTER_WEB=OFF >/dev/null
cmake --build "$build" -j "$jobs"

reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
# log_path: reports of child programs cannot hide in a captured stderr.
# detect_leaks stays on: a leak in a filter run is a finding too.
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
# LeakSanitizer cannot run under ptrace (some sandboxes); then leaks are not
# checked rather than every test failing.
if ! grep -q '^TracerPid:[[:space:]]*0$' /proc/self/status 2>/dev/null; then
  ASAN_OPTIONS="${ASAN_OPTIONS/detect_leaks=1/detect_leaks=0}"
  echo "sanitize.sh: running under a tracer, leak detection off"
fi

# (The package, the mail-server round trips and the browser test are not
# defined in a sanitizer tree: they run release or test builds.)
status=0
(cd "$build" && ctest --output-on-failure -j "$jobs" "$@") ||
  status=$?

shopt -s nullglob
# A run that gave up root for the mailbox owner cannot be stopped by the
# leak checker at its exit; that notice alone is no finding.
for f in "$reports"/*; do
  grep -q -v 'Unable to get registers from thread' "$f" || rm -f "$f"
done
found=("$reports"/*)
if [ ${#found[@]} -gt 0 ]; then
  echo "== sanitizer reports (${#found[@]} file(s)):"
  for f in "${found[@]}"; do
    echo "---- $f"
    head -60 "$f"
  done
  [ $status -ne 0 ] || status=1
else
  echo "== sanitizers: no reports"
fi
exit $status

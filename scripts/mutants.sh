#!/usr/bin/env bash
# Puts each fault of tests/mutants.txt back, one at a time, into a copy of the
# tracked tree and runs the test suite on it: a fault the suite does not notice
# ("survived") is a hole in the tests. Exit status 0 only when every mutant was
# killed; a mutant that does not apply or does not build is a fault of the list.
#
#   scripts/mutants.sh [--only REGEX] [--all-tests] [--report FILE] [--work DIR]
#
#   --only REGEX  run only the mutants whose name matches (grep -E)
#   --all-tests   run the whole ctest for every mutant, not only the fast suite
#   --report FILE also write the results as a Markdown table to FILE
#   --work DIR    scratch directory (default ${TMPDIR:-/tmp}/sendvetter-mutants);
#                 its build is reused, so a second run builds only what changed
#
# The fast suite is every ctest test except the mail-server round trips, the
# web browser test, the package tests and the fuzz smoke. For faults only
# those can see, a mutant in the list carries "% slow REGEX" (the fast suite,
# then the slow tests matching REGEX) or "% slow" (the whole ctest).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
list=$top/tests/mutants.txt
only="" all_tests=0 report="" work=${TMPDIR:-/tmp}/sendvetter-mutants
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only=$2; shift 2 ;;
    --all-tests) all_tests=1; shift ;;
    --report) report=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) sed -n '7,13p' "$0"; exit 2 ;;
  esac
done
slow_tests='^(package|mta_.*|web_browser)$'

# The list's reader: "names" prints NAME SLOW FILE per mutant (SLOW: "-",
# "all" or the slow tests' regex); "apply NAME"
# checks that the removed text occurs exactly once, then replaces it.
mutant() {
  python3 - "$list" "$work/src" "$@" <<'EOF'
import sys
lst, src, cmd = sys.argv[1:4]
muts, m = [], None
for line in open(lst, encoding="utf-8").read().split("\n"):
    tag, text = line[:1], line[2:]
    if line.startswith("## "):
        m = {"name": line[3:].split(":")[0].strip(), "file": "", "slow": "-", "old": [], "new": []}
        muts.append(m)
    elif m and tag == "@": m["file"] = text.strip()
    elif m and tag == "%": m["slow"] = (text.split()[1:] or ["all"])[0]
    elif m and tag == "-": m["old"].append(text)
    elif m and tag == "+": m["new"].append(text)
if cmd == "names":
    for m in muts: print(m["name"], m["slow"], m["file"])
    sys.exit(0)
m = next(m for m in muts if m["name"] == sys.argv[4])
path = src + "/" + m["file"]
body = "\n" + open(path, encoding="utf-8").read()  # whole lines only
old = "\n" + "".join(l + "\n" for l in m["old"])
new = "\n" + "".join(l + "\n" for l in m["new"])
if not m["old"] or body.count(old) != 1:
    sys.exit(f"the removed lines occur {body.count(old)} times in {m['file']}")
open(path, "w", encoding="utf-8").write(body.replace(old, new)[1:])
EOF
}

mkdir -p "$work/src"
cp "$list" "$work/mutants.txt" && list=$work/mutants.txt   # edits during a run do not reach it
(cd "$top" && git ls-files -z | tar --null -T - -cf - | tar -xpf - -C "$work/src")
rev=$(cd "$top" && git rev-parse --short HEAD)
build() { cmake --build "$work/build" -j 2 >"$work/build.log" 2>&1; }
echo "== configuring and building the test build in $work"
cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DSENDVETTER_SANDBOX_HOST_PATHS=ON -DSENDVETTER_TESTS=ON >/dev/null &&
  build || { cat "$work/build.log"; echo "the unmutated tree does not build"; exit 1; }

start=$SECONDS killed=0 total=0 rows=()
while read -r name slow file; do
  [ -z "$only" ] || grep -qE -- "$only" <<<"$name" || continue
  total=$((total + 1)) t0=$SECONDS by=""
  if ! err=$(mutant apply "$name" 2>&1); then
    result="does not apply" by=$err
  elif ! build; then
    result="does not build" by=$(grep -m1 'error' "$work/build.log")
  else
    [ "$all_tests" = 0 ] || slow=all
    fast=(-E "$slow_tests") extra=()
    [ "$slow" = all ] && fast=()
    [ "$slow" = all ] || [ "$slow" = - ] || extra=(-R "$slow")
    if (cd "$work/build" && ctest --stop-on-failure -j 2 "${fast[@]}" >"$work/ctest.log" 2>&1 &&
        { [ ${#extra[@]} = 0 ] || ctest "${extra[@]}" >>"$work/ctest.log" 2>&1; }); then
      result=survived
    else
      result=killed killed=$((killed + 1))
      by=$(sed 's/^[0-9]*://' "$work/build/Testing/Temporary/LastTestsFailed.log" 2>/dev/null | paste -sd ' ')
    fi
  fi
  [ ! -f "$top/$file" ] || cp "$top/$file" "$work/src/$file"   # a fresh time stamp: the next build recompiles it
  # A mutant that lets a name climb out of the account leaves the hostile
  # test's canary behind, which would fail that test for every later mutant.
  rm -rf /tmp/sendvetter-escape
  secs=$((SECONDS - t0))
  printf '%-40s %-15s %4ss  %s\n' "$name" "$result" "$secs" "$by"
  rows+=("| $name | $result | $secs | ${by//|/\\|} |")
done < <(mutant names)
build   # leave the scratch build matching the tree

summary="killed $killed of $total mutants in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s"
echo "== $summary"
if [ -n "$report" ]; then
  { echo "Mutants against the suite of $rev, $(date -u '+%Y-%m-%d %H:%M UTC'): $summary."
    echo
    echo "| Mutant | Result | Seconds | Killed by |"
    echo "|---|---|---|---|"
    printf '%s\n' "${rows[@]}"; } >"$report"
fi
[ "$killed" = "$total" ]

#!/usr/bin/env bash
# Prints test code against product code, counted as non-blank, non-comment
# lines. Test code: C++, shell and Python under tests/ and fuzz/ (mail-server
# round trips and the package check included) and any other file named for a
# test outside bench/; case files of expected outputs are data and not counted.
# Product code: C++ under Orvane/, SafeFile/ and bin/.
set -euo pipefail
cd "$(dirname "$0")/.."
cxx() { grep -E '\.(cpp|cc|h|hpp|c)$' | xargs -r cat | grep -c -v -E '^\s*(//.*)?$' || true; }
scr() { grep -E '\.(sh|py)$' | xargs -r cat | grep -c -v -E '^\s*(#.*)?$' || true; }
files() { git ls-files 2>/dev/null || find . -type f -not -path './.git/*' -printf '%P\n'; }
tests=$(files | grep -v '^bench/' | grep -E '^(tests|fuzz)/|test' || true)
t=$(( $(printf '%s\n' "$tests" | cxx) + $(printf '%s\n' "$tests" | scr) ))
c=$(files | grep -E '^(Orvane|SafeFile|bin)/' | cxx)
# One decimal, rounded: a truncated whole number would flatter the ratio.
r=$(( (1000 * t + c / 2) / c ))
echo "== test ratio: ${t} lines of tests / ${c} lines of product code = $((r / 10)).$((r % 10))%"

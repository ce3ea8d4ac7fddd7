#!/bin/sh
# `make lint`: clang-format (.clang-format), clang-tidy (.clang-tidy) and cppcheck over the C++ of
# src/ and fuzz/. Fails on any finding; prints every one before it does.
set -u
cd "$(dirname "$0")/.." || exit 1
R=${R:-R}
sources="src/*.cpp fuzz/*.cpp"
headers="src/*.h fuzz/*.h"
status=0

echo "lint: clang-format"
# shellcheck disable=SC2086 # the globs are meant to expand
if ! clang-format --dry-run --Werror $sources $headers; then
  echo "lint: clang-format would change the files above (make format rewrites them)"
  status=1
fi

echo "lint: clang-tidy"
r_include=$("$R" CMD config --cppflags)
mkdir -p build # for its output, which a fresh checkout lacks
for f in $sources; do
  # shellcheck disable=SC2086
  clang-tidy --quiet "$f" -- -std=c++17 -x c++ -Isrc $r_include -DNDEBUG 2>/dev/null >"build/lint.$$" || status=1
  cat "build/lint.$$"
done
rm -f "build/lint.$$"

echo "lint: cppcheck"
# Only findings count: cppcheck cannot see the system and R headers, and says so without them.
# shellcheck disable=SC2086
cppcheck --quiet --std=c++17 --language=c++ --enable=warning,performance,portability \
  --inline-suppr --error-exitcode=1 --suppress=missingIncludeSystem -Isrc $sources $headers ||
  status=1

[ "$status" -eq 0 ] && echo "lint: clean" || echo "lint: findings above"
exit "$status"

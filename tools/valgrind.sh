#!/bin/sh
# Runs R scripts in an R under valgrind's memcheck, against the package installed in the library
# LIB, and fails on any error or leak whose stack passes through client.so (or its sources): R has
# findings of its own and leaks by design, so those do not count.
# Usage: valgrind.sh LIB suite       the test suite and tools/exercise.R (`make valgrind`)
#        valgrind.sh LIB gctorture   tools/gctorture.R with large inputs (`make gctorture`)
# The test files' child R processes run outside valgrind: tools/exercise.R calls every routine in
# the checked process itself.
set -eu
cd "$(dirname "$0")/.."
R=${R:-R}
lib=$1
mode=$2
out=$(pwd)/build/valgrind-$mode
rm -rf "$out"
mkdir -p "$out"

vg="valgrind --tool=memcheck --leak-check=full --num-callers=40 --log-file=$out/vg.%p.log"
status=0
case $mode in
suite)
  vg="$vg --track-origins=yes"
  "$R" -d "$vg" --vanilla --no-echo -f tools/run-tests.R --args "$lib" || status=1
  "$R" -d "$vg" --vanilla --no-echo -f tools/exercise.R --args "$lib" || status=1
  ;;
gctorture)
  # A vector collected too early is freed at once when large: the read after it is an error here.
  "$R" -d "$vg" --vanilla --no-echo -f tools/gctorture.R --args "$lib" large || status=1
  ;;
*)
  echo "valgrind.sh: unknown mode $mode" >&2
  exit 2
  ;;
esac

# A log holds blocks of lines that start "==PID== "; an error or a leak record is one block, up to
# the next line that has nothing after the prefix. Keep the blocks that name our code.
found=$(awk '
  function flush() { if (ours && kind) printf "%s\n", block; block = ""; ours = 0; kind = 0 }
  FNR == 1 { flush() }
  /^==[0-9]+== *$/ { flush(); next }
  /^==[0-9]+== / {
    block = block $0 "\n"
    if ($0 ~ /client\.so|(base64|client|errors)\.(cpp|h):[0-9]/) ours = 1
    if ($0 ~ /Invalid|uninitialised|Mismatched|overlap|[Ii]llegal|Syscall param|lost in loss record/) kind = 1
  }
  END { flush() }
' "$out"/vg.*.log)
if [ -n "$found" ]; then
  echo "$found"
  echo "valgrind: errors in client.so (logs in $out)"
  exit 1
fi
[ "$status" -eq 0 ] || { echo "valgrind: a run failed (see above)"; exit 1; }
checked=$(grep -l 'ERROR SUMMARY' "$out"/vg.*.log | wc -l)
echo "valgrind ($mode): no memcheck error or leak through client.so ($checked R processes checked)"

#!/bin/sh
# `make sanitize`: builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into a
# library of its own, then runs the test suite, tools/exercise.R and tools/gctorture.R with the
# sanitizer runtime preloaded. Child R processes inherit the runtime and the options through the
# environment. Every process writes its reports to build/sanitize/logs; any report fails the run.
set -eu
cd "$(dirname "$0")/.."
R=${R:-R}
RSCRIPT=${RSCRIPT:-Rscript}
top=$(pwd)
out=$top/build/sanitize
rm -rf "$out"
mkdir -p "$out/lib" "$out/logs"

# Build from the package's tarball, so that no object file lands in src/.
(cd "$out" && "$R" CMD build --no-build-vignettes --no-manual "$top" >build.log 2>&1) ||
  { cat "$out/build.log"; exit 1; }
# The sanitizer runtime has to be loaded before everything else, so loading the library into an
# R without it (INSTALL's test load) would fail: the test run below loads it instead.
R_MAKEVARS_USER=$top/tools/sanitize.Makevars "$R" CMD INSTALL --no-multiarch --no-test-load \
  -l "$out/lib" "$out"/client_*.tar.gz >"$out/install.log" 2>&1 ||
  { cat "$out/install.log"; exit 1; }
so=$out/lib/client/libs/client.so
ldd "$so" | grep -q 'libclang_rt\.asan' ||
  { echo "sanitize: $so is not linked to AddressSanitizer"; exit 1; }

runtime=$(clang++ -print-file-name="libclang_rt.asan-$(uname -m).so")
[ -f "$runtime" ] || { echo "sanitize: clang's AddressSanitizer runtime is missing"; exit 1; }

# R leaks by design, so no leak checking. Reports go to files: a child whose crash a test
# expects must not hide one.
export LD_PRELOAD="$runtime"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$out/logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$out/logs/ubsan"
export R_MAKEVARS_USER="$top/tools/sanitize.Makevars"
status=0
"$RSCRIPT" --vanilla tools/run-tests.R "$out/lib" || status=1
"$RSCRIPT" --vanilla tools/exercise.R "$out/lib" || status=1
"$RSCRIPT" --vanilla tools/gctorture.R "$out/lib" large || status=1
unset LD_PRELOAD

reports=$(find "$out/logs" -type f | sort)
if [ -n "$reports" ]; then
  for f in $reports; do
    echo "==== $f"
    cat "$f"
  done
  echo "sanitize: $(echo "$reports" | wc -l) sanitizer report(s)"
  exit 1
fi
[ "$status" -eq 0 ] || { echo "sanitize: a run failed (see above)"; exit 1; }
echo "sanitize: no sanitizer reports"

#!/bin/sh
# Makes sure the tools of the development checks are here: clang with its fuzzer and sanitizer
# runtimes, clang-format, clang-tidy, cppcheck and valgrind (with glibc's debug symbols, which
# valgrind wants for its startup redirections), and knitr, which the front-end tests knit with
# (they skip without it). On Debian it installs the missing packages with apt-get; elsewhere it
# only says what is missing.
set -e
packages="clang libclang-rt-dev clang-format clang-tidy cppcheck valgrind libc6-dbg r-cran-knitr"
commands="clang++ clang-format clang-tidy cppcheck valgrind"

if command -v dpkg-query >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1; then
  missing=""
  for p in $packages; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
      missing="$missing $p"
  done
  if [ -n "$missing" ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup-dev: installing$missing with apt-get"
    $sudo apt-get update -qq
    # shellcheck disable=SC2086 # one word per package
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends $missing
  fi
fi

for c in $commands; do
  command -v "$c" >/dev/null 2>&1 || { echo "setup-dev: $c is missing; install it" >&2; exit 1; }
done
# The fuzzer runtime ships apart from the compiler: make sure clang can link a fuzz target.
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
  >"$dir/t.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$dir/t.cpp" -o "$dir/t" 2>/dev/null ||
  { echo "setup-dev: clang cannot link a libFuzzer target; install its compiler-rt runtimes" >&2; exit 1; }

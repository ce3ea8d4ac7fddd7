#!/bin/sh
# Builds bench/codec_bench.cpp against the codec core alone (no R) with the package's -O2 and
# runs it: a check against a plain codec, then the loops' throughput. Extra arguments go to the
# compiler, e.g. -fsanitize=address,undefined; ROUNDS sets the number of checked inputs.
set -e
dir=$(dirname "$0")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
${CXX:-g++} -std=c++17 -O2 -Wall -Wextra "$@" -o "$tmp/codec_bench" "$dir/codec_bench.cpp"
"$tmp/codec_bench" "${ROUNDS:-20000}"

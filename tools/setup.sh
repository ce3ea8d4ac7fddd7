#!/bin/sh
# Makes sure R (with its headers) and tinytest are here. Installs them with apt-get only when
# they are missing and apt-get is at hand; otherwise it installs nothing system-wide.
set -e
have_r() {
  command -v Rscript >/dev/null 2>&1 && command -v R >/dev/null 2>&1 &&
    { [ -f "$(R RHOME)/include/R.h" ] || [ -f /usr/share/R/include/R.h ]; }
}
have_tinytest() {
  Rscript -e 'quit(status = !requireNamespace("tinytest", quietly = TRUE))' >/dev/null 2>&1
}
if have_r && have_tinytest; then
  exit 0
fi
if ! command -v apt-get >/dev/null 2>&1; then
  echo "setup: this needs R (>= 4.0) with its headers, a C++17 compiler and the R package tinytest;" >&2
  echo "setup: install them, then run this again." >&2
  exit 1
fi
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: R or tinytest is missing; installing r-base-dev and r-cran-tinytest with apt-get"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends r-base-dev r-cran-tinytest

#!/bin/sh
# Runs the Windows build's tests under Wine, in a fresh prefix in a temporary folder whose
# wineserver stays up for the whole run (each process then starts in a fraction of a second).
#
#   windows/run_tests.sh BUILD_FOLDER [CTEST ARGUMENTS...]
set -eu
build=$(cd "$1" && pwd)
shift
prefix=$(mktemp -d "${TMPDIR:-/tmp}/swp-wine-XXXXXX")
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and Wine would offer to install them.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The servers need no display; the options window test starts an Xvfb of its own.
unset DISPLAY

# Ends the prefix's wineserver and every process it still runs (all started here), then removes it.
finish() {
    wineserver -k 2>/dev/null || true
    rm -rf "$prefix"
}
trap finish EXIT INT TERM

echo "windows tests: Wine prefix $prefix"
wineserver -p  # a wineserver that stays up between the processes of the run
wineboot --init >/dev/null 2>&1
cd "$build"
ctest --output-on-failure "$@"

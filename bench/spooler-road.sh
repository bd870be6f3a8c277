#!/bin/sh
# The spooler's road figures: peak memory of printing a 5,000-page report in batches of
# three pages against a 3-page one, and the time from a writer closing a file in a
# watched directory to the start of its job. Usage: bench/spooler-road.sh [BUILD_DIR]
set -eu
BUILD=${1:-build}
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
export QT_QPA_PLATFORM=offscreen
"$BUILD/bench/bench-make-report" "$TMP/short.prn" 3
"$BUILD/bench/bench-make-report" "$TMP/long.prn" 5000
echo "report of 3 pages:     $("$BUILD/bench/bench-spooler-road" memory "$TMP/short.prn" 2>/dev/null)"
echo "report of 5,000 pages: $("$BUILD/bench/bench-spooler-road" memory "$TMP/long.prn" 2>/dev/null)"
ls -l "$TMP/long.prn" | awk '{ printf "  (the 5,000-page file is %.1f MB of text)\n", $5 / 1048576 }'
"$BUILD/bench/bench-spooler-road" latency 10 2>/dev/null

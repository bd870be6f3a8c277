#!/bin/sh
# The spooler program on big inputs: one spool file of 100 MB, and 10,000 spool files
# written at once, each printed on a CUPS scheduler of its own with the spooler's window
# shown on a private Xvfb with openbox. Reports per input the time until everything is
# printed and deleted, the spooler's peak memory and the longest time its window did not
# answer (bench-window-probe), and checks every page of every job. See bench/big_inputs.py.
#   bench/big-inputs.sh [big] [many]
# Environment: BUILD (default build) holds the built program and bench-window-probe; OUT
# (default /tmp/pagello-big-inputs) gets the report and the spooler's logs; BIG_MB,
# MANY_FILES and PAGES_SPOOL change the inputs. Root only. Exits with 1 on any fault.
set -eu
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
for exe in src/app/pagello bench/bench-window-probe; do
    if [ ! -x "$BUILD/$exe" ]; then
        echo "big-inputs.sh: $BUILD/$exe not found; build the targets pagello and bench-window-probe" >&2
        exit 2
    fi
done
OUT=${OUT:-/tmp/pagello-big-inputs}
rm -rf "$OUT"
exec python3 bench/big_inputs.py "$BUILD" "$OUT" "$@"

#!/bin/sh
# The spooler program soaked for MINUTES (default 10) on a CUPS scheduler of its own, with
# writer processes creating, holding open, writing slowly, rewriting, renaming and deleting
# spool files and the spool directory removed and made again a few times; then every job
# is read back (pdftotext, pdfinfo) and checked against what was written, and the
# spooler's memory over the run is reported. See bench/soak.py.
# With --smb the writers write through a Samba share of the spool directory (a private
# smbd with the example share packaging/samba/smb.conf, smbclient as the PCs of an office).
#   bench/soak.sh [--smb] [MINUTES]
# Environment: BUILD (default build) holds the built program; OUT (default
# /tmp/pagello-soak) gets the report, the faults, the RSS samples, the writers' steps and
# the spooler's log; WRITERS, DOCS_PER_MINUTE and PAGES_SPOOL tune the run. Root only (the
# scheduler runs its backend as root). Exits with 1 when anything was wrong.
set -eu
cd "$(dirname "$0")/.."
SMB=""
if [ "${1:-}" = --smb ]; then
    SMB=--smb
    shift
fi
BUILD=${BUILD:-build}
if [ ! -x "$BUILD/src/app/pagello" ]; then
    echo "soak.sh: $BUILD/src/app/pagello not found; build the target pagello first" >&2
    exit 2
fi
OUT=${OUT:-/tmp/pagello-soak}
rm -rf "$OUT"
exec python3 bench/soak.py "$BUILD" "${1:-10}" "$OUT" $SMB

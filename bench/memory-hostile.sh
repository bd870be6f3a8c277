#!/bin/sh
# Peak memory and time of laying out, converting or refusing large hostile spool files:
# every document must cost at most 300 MB, whatever its bytes.
#   bench/memory-hostile.sh [BUILD_DIR] [MB]      (BUILD_DIR defaults to ./build, MB to 100)
# Environment: INPUTS (default "esc rule toggle toggle-text rule-lines report") and MODES
# (default "spooler json pdf") pick the cases; PDF_MB, when set, cuts the input of the pdf
# mode to that many MB (Qt's PDF writer needs some 8 s a MB on pages of rules).
#
#   esc          MB of ESC bytes, each starting no command
#   rule         MB of byte 179, three drawing records each
#   toggle       MB of condensed on/off (0x0F 0x12) and nothing else
#   toggle-text  "A" 0x0F "B" 0x12 repeated: a run in another font at every byte
#   rule-lines   "A" 179 repeated with CR LF every 100 bytes: pages of 12,400 records
#   report       the benchmark's report (bench-make-report), some 24,000 pages
#
#   spooler  the spooler prints the file in batches of 3 pages (bench-spooler-road)
#   json     pagello-render --json to /dev/null
#   pdf      pagello-render -o to a file on a 600-dpi laser
set -eu
BUILD=${1:-build}
MB=${2:-100}
INPUTS=${INPUTS:-"esc rule toggle toggle-text rule-lines report"}
MODES=${MODES:-"spooler json pdf"}
RENDER="$BUILD/src/tools/pagello-render"
MAKE_REPORT="$BUILD/bench/bench-make-report"
ROAD="$BUILD/bench/bench-spooler-road"
DEVICE=600:4960x7016:100,100
LIMIT_KB=$((300 * 1024))
for exe in "$RENDER" "$MAKE_REPORT" "$ROAD"; do
    if [ ! -x "$exe" ]; then
        echo "memory-hostile.sh: $exe not found; build the project in $BUILD first" >&2
        exit 2
    fi
done
if [ ! -x /usr/bin/time ]; then
    echo "memory-hostile.sh: /usr/bin/time (package time) is needed for the peak memory" >&2
    exit 2
fi

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
chmod 700 "$TMP"
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$TMP"

make_input() { # NAME FILE BYTES
    case $1 in
    report)
        # Some 4,230 bytes a page.
        "$MAKE_REPORT" "$2" $(($3 / 4232 + 1))
        return
        ;;
    esc) unit='b"\x1b"' ;;
    rule) unit='b"\xb3"' ;;
    toggle) unit='b"\x0f\x12"' ;;
    toggle-text) unit='b"A\x0fB\x12"' ;;
    rule-lines) unit='b"A\xb3" * 49 + b"\r\n"' ;;
    *)
        echo "memory-hostile.sh: unknown input $1" >&2
        exit 2
        ;;
    esac
    python3 -c "
import sys
unit = $unit
size = int(sys.argv[2])
with open(sys.argv[1], 'wb') as f:
    chunk = unit * (1048576 // len(unit) + 1)
    written = 0
    while written < size:
        part = chunk[:size - written]
        f.write(part)
        written += len(part)
" "$2" "$3"
}

# Runs a case under /usr/bin/time, its standard output to OUT; prints its line of the table.
measure() { # INPUT MODE FILE OUT command...
    name=$1
    mode=$2
    file=$3
    out=$4
    shift 4
    rm -f "$TMP/out"
    start=$(date +%s.%N)
    set +e
    /usr/bin/time -f "%M" -o "$TMP/rss" "$@" >"$out" 2>"$TMP/err"
    status=$?
    set -e
    end=$(date +%s.%N)
    rss=$(tail -n 1 "$TMP/rss")
    # What became of the document: refused (the message), or how far it went.
    what=$(cat "$TMP/err" "$TMP/out" 2>/dev/null | grep -o -E "Page [0-9]+ needs more than .*" | head -n 1 || true)
    [ -n "$what" ] || what=$(grep -o -E "[0-9]+ pages in [0-9]+ jobs" "$TMP/out" 2>/dev/null | head -n 1 || true)
    if [ -z "$what" ] && [ "$mode" = pdf ] && [ "$status" = 0 ]; then
        what="$(pdfinfo "$TMP/out.pdf" 2>/dev/null | awk '/^Pages:/ { print $2 " pages" }')"
    fi
    if [ -z "$what" ] && [ "$status" != 0 ]; then
        what="exit $status: $(grep -v QStandardPaths "$TMP/err" | head -n 1)"
    fi
    [ -n "$what" ] || what="exit $status"
    verdict=ok
    [ "$rss" -le "$LIMIT_KB" ] || verdict=OVER
    awk -v n="$name" -v m="$mode" -v size="$(wc -c <"$file")" -v t0="$start" -v t1="$end" -v rss="$rss" \
        -v v="$verdict" -v w="$what" \
        'BEGIN { printf "%-12s %-8s %6.1f MB %8.1f s %8.1f MB  %-4s %s\n", n, m, size / 1048576, t1 - t0, rss / 1024, v, w }'
    rm -f "$TMP/out.pdf"
}

printf '%-12s %-8s %9s %10s %11s  %-4s %s\n' input mode size time "peak RSS" "" result
for name in $INPUTS; do
    file="$TMP/$name.prn"
    make_input "$name" "$file" $((MB * 1048576))
    for mode in $MODES; do
        case $mode in
        spooler) measure "$name" "$mode" "$file" "$TMP/out" "$ROAD" memory "$file" ;;
        json) measure "$name" "$mode" "$file" /dev/null "$RENDER" "$file" --device "$DEVICE" --json ;;
        pdf)
            input=$file
            if [ -n "${PDF_MB:-}" ] && [ "$PDF_MB" -lt "$MB" ]; then
                input="$TMP/$name-cut.prn"
                head -c $((PDF_MB * 1048576)) "$file" >"$input"
            fi
            measure "$name" "$mode" "$input" /dev/null "$RENDER" "$input" --device "$DEVICE" -o "$TMP/out.pdf"
            rm -f "$TMP/$name-cut.prn"
            ;;
        *)
            echo "memory-hostile.sh: unknown mode $mode" >&2
            exit 2
            ;;
        esac
    done
    rm -f "$file"
done

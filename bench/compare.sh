#!/bin/sh
# Pagello beside the text-to-PDF converters of a Linux desktop, on the benchmark's report:
# pagello-render prints the CP852 spool file; CUPS's texttopdf filter, enscript | ps2pdf
# and paps | ps2pdf print the same text in UTF-8 (Latin-2 for enscript), with the
# printer's escape sequences taken out. One line per tool: median seconds, ratio to
# Pagello, pages and their size in points, PDF size, peak memory, and whether pdftotext
# gives the Czech text back. paps | ps2pdf alone takes minutes on 1,000 pages.
#   bench/compare.sh [BUILD_DIR] [PAGES]     (BUILD_DIR defaults to ./build, PAGES to 1000)
#   RUNS=5 bench/compare.sh build            timed runs of the fast tools after a warm-up
#                                            (default 3; the slow pipelines run once)
# Missing converters are installed with apt-get (through sudo when not root).
set -eu
BUILD=${1:-build}
PAGES=${2:-1000}
RUNS=${RUNS:-3}
RENDER="$BUILD/src/tools/pagello-render"
MAKE_REPORT="$BUILD/bench/bench-make-report"
TEXTTOPDF=/usr/lib/cups/filter/texttopdf
# A word with diacritics that every page of the report carries.
WORD="Řezníčková"
for exe in "$RENDER" "$MAKE_REPORT"; do
    if [ ! -x "$exe" ]; then
        echo "compare.sh: $exe not found; build the project in $BUILD first" >&2
        exit 2
    fi
done

missing=""
need() { # need PACKAGE COMMAND...
    package=$1
    shift
    for c in "$@"; do
        if [ ! -x "$c" ] && ! command -v "$c" >/dev/null 2>&1; then
            missing="$missing $package"
            return
        fi
    done
}
need cups-filters "$TEXTTOPDF"
need enscript enscript
need paps paps
need ghostscript ps2pdf
need poppler-utils pdfinfo pdftotext
need time /usr/bin/time
if [ -n "$missing" ]; then
    SUDO=""
    if [ "$(id -u)" != "0" ]; then
        SUDO="sudo"
    fi
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    # shellcheck disable=SC2086
    $SUDO apt-get install -y -qq --no-install-recommends $missing
fi

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
export QT_QPA_PLATFORM=offscreen
"$MAKE_REPORT" "$TMP/report.prn" "$PAGES"

# The plain text: bold (ESC E, ESC F) and any PCL setting (ESC &l...) out, then condensed
# (SI, DC2), the CRs and the spooler's end marker (CR NUL); lines and form feeds remain.
ESC=$(printf '\033')
LC_ALL=C sed "s/${ESC}[EF]//g; s/${ESC}&l[0-9.a-z]*[A-Z]//g" "$TMP/report.prn" |
    tr -d '\r\000\017\022' | iconv -f CP852 -t UTF-8 >"$TMP/report.txt"
if LC_ALL=C grep -q "$ESC" "$TMP/report.txt"; then
    echo "compare.sh: the report has escape sequences this script does not take out" >&2
    exit 1
fi
# enscript reads 8-bit text only: Latin-2 (-X 88592) has every Czech letter but no box
# drawing, so the rules become + - | = as a plain-text printout draws them. Its own
# Courier metrics lack the háček letters (č, ě, ř would print as ?); the URW metrics of
# Ghostscript's Courier have them, through an AFM path given in a private ~/.enscriptrc.
LC_ALL=C sed 's/─/-/g; s/│/|/g; s/═/=/g; s/┌/+/g; s/┐/+/g; s/└/+/g; s/┘/+/g;
              s/├/+/g; s/┤/+/g; s/┬/+/g; s/┴/+/g; s/┼/+/g' "$TMP/report.txt" |
    iconv -f UTF-8 -t ISO-8859-2 >"$TMP/report-latin2.txt"
mkdir "$TMP/home" "$TMP/afm"
URW_AFM=/usr/share/fonts/type1/urw-base35/NimbusMonoPS-Regular.afm
if [ -r "$URW_AFM" ]; then
    ln -s "$URW_AFM" "$TMP/afm/"
    echo "Courier NimbusMonoPS-Regular" >"$TMP/afm/font.map"
    echo "AFMPath: $TMP/afm:/usr/share/enscript/afm" >"$TMP/home/.enscriptrc"
else
    echo "compare.sh: $URW_AFM missing; enscript prints č, ě, ř as ?" >&2
fi
# texttopdf takes its paper from a PPD (US Letter without one): A4 with the margins of
# cups-filters' generic PDF printer, where the report's 75-column table fits at 10 cpi.
cat >"$TMP/a4.ppd" <<'EOF'
*PPD-Adobe: "4.3"
*OpenUI *PageSize: PickOne
*DefaultPageSize: A4
*PageSize A4: "<</PageSize[595 842]>>setpagedevice"
*CloseUI: *PageSize
*DefaultImageableArea: A4
*ImageableArea A4: "18 36 577 806"
*DefaultPaperDimension: A4
*PaperDimension A4: "595 842"
EOF

# The commands, run by sh -c with these variables from the environment.
export TMP RENDER TEXTTOPDF
# shellcheck disable=SC2016
PAGELLO='"$RENDER" "$TMP/report.prn" --device 600:4960x7016:100,100 -o "$TMP/pagello.pdf"'
# shellcheck disable=SC2016
TEXTTOPDF_CMD='PPD="$TMP/a4.ppd" CHARSET=utf-8 CONTENT_TYPE=text/plain \
    "$TEXTTOPDF" 1 user title 1 "" "$TMP/report.txt" >"$TMP/texttopdf.pdf"'
# shellcheck disable=SC2016
ENSCRIPT='HOME="$TMP/home" enscript -q -B -X 88592 -M A4 -f Courier10 -o - "$TMP/report-latin2.txt" |
    ps2pdf - "$TMP/enscript.pdf"'
# shellcheck disable=SC2016
PAPS='paps --paper=a4 --font="Monospace 10" "$TMP/report.txt" | ps2pdf - "$TMP/paps.pdf"'

# timed NAME COUNT COMMAND: runs COMMAND COUNT times, the first a warm-up when COUNT > 1,
# and leaves the median seconds in $TMP/NAME.s, the largest peak memory (KiB) in
# $TMP/NAME.kb.
timed() {
    : >"$TMP/$1.times"
    : >"$TMP/$1.mem"
    i=0
    while [ "$i" -lt "$2" ]; do
        start=$(date +%s%N)
        if ! /usr/bin/time -f %M -a -o "$TMP/$1.mem" sh -c "$3" 2>"$TMP/$1.err"; then
            echo "compare.sh: $1 failed:" >&2
            cat "$TMP/$1.err" >&2
            exit 1
        fi
        end=$(date +%s%N)
        if [ "$2" -eq 1 ] || [ "$i" -gt 0 ]; then
            echo "$start $end" | awk '{ printf "%.3f\n", ($2 - $1) / 1e9 }' >>"$TMP/$1.times"
        fi
        i=$((i + 1))
    done
    sort -n "$TMP/$1.times" | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }' >"$TMP/$1.s"
    sort -n "$TMP/$1.mem" | tail -n 1 >"$TMP/$1.kb"
}

echo "Report: $PAGES pages, $(wc -c <"$TMP/report.prn") bytes of CP852; $RUNS timed runs after a warm-up" \
    "for pagello-render and texttopdf, one run for the ps2pdf pipelines."
timed pagello $((RUNS + 1)) "$PAGELLO"
timed texttopdf $((RUNS + 1)) "$TEXTTOPDF_CMD"
timed enscript 1 "$ENSCRIPT"
timed paps 1 "$PAPS"

BASE=$(cat "$TMP/pagello.s")
printf '%-18s %9s %13s %6s %8s %8s %9s  %s\n' tool "median s" "vs Pagello" pages "page pt" "PDF KiB" "peak MiB" \
    "text extractable"
for t in pagello texttopdf enscript paps; do
    case $t in
    pagello) label="pagello-render" ;;
    texttopdf) label="texttopdf" ;;
    enscript) label="enscript | ps2pdf" ;;
    paps) label="paps | ps2pdf" ;;
    esac
    s=$(cat "$TMP/$t.s")
    ratio=$(awk -v s="$s" -v b="$BASE" -v t="$t" 'BEGIN {
        r = s / b
        if (t == "pagello") printf "1x"; else if (r >= 1) printf "%.1fx slower", r; else printf "%.2fx", r }')
    pages=$(pdfinfo "$TMP/$t.pdf" 2>/dev/null | awk '/^Pages:/ { print $2 }')
    size=$(pdfinfo "$TMP/$t.pdf" 2>/dev/null | awk '/^Page size:/ { print $3 "x" $5 }')
    kib=$(($(wc -c <"$TMP/$t.pdf") / 1024))
    mib=$(awk '{ printf "%.0f", $1 / 1024 }' "$TMP/$t.kb")
    if pdftotext "$TMP/$t.pdf" - 2>/dev/null | grep -q "$WORD"; then
        text="yes"
    else
        text="no ($WORD not found)"
    fi
    printf '%-18s %9s %13s %6s %8s %8s %9s  %s\n' "$label" "$s" "$ratio" "${pages:-?}" "${size:-?}" "$kib" \
        "$mib" "$text"
done

#!/bin/sh
# Times pagello-render printing the benchmark's 1,000-page report into a PDF, on the
# 600-dpi laser device of the layout benchmark.
#   bench/render-pdf.sh [BUILD_DIR] [PAGES]      (BUILD_DIR defaults to ./build)
set -eu
BUILD=${1:-build}
PAGES=${2:-1000}
RENDER="$BUILD/src/tools/pagello-render"
MAKE_REPORT="$BUILD/bench/bench-make-report"
for exe in "$RENDER" "$MAKE_REPORT"; do
    if [ ! -x "$exe" ]; then
        echo "render-pdf.sh: $exe not found; build the project in $BUILD first" >&2
        exit 2
    fi
done

TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
"$MAKE_REPORT" "$TMP/report.prn" "$PAGES"
export QT_QPA_PLATFORM=offscreen
CMD="$RENDER $TMP/report.prn --device 600:4960x7016:100,100 -o $TMP/report.pdf"

if command -v hyperfine >/dev/null 2>&1; then
    hyperfine --warmup 1 --runs 5 "$CMD"
else
    "$RENDER" "$TMP/report.prn" --device 600:4960x7016:100,100 -o "$TMP/report.pdf" # warm-up
    for run in 1 2 3; do
        /usr/bin/time -f "run $run: %e s elapsed, %U s user, %M KiB max resident" \
            "$RENDER" "$TMP/report.prn" --device 600:4960x7016:100,100 -o "$TMP/report.pdf"
    done
fi
echo "report: $(wc -c <"$TMP/report.prn") bytes; PDF: $(wc -c <"$TMP/report.pdf") bytes"
if command -v pdfinfo >/dev/null 2>&1; then
    pdfinfo "$TMP/report.pdf" | grep -E '^(Pages|Title):'
fi

#!/bin/sh
# Every fuzz target in turn, for SECONDS each (300 unless given): the layout and printing
# of spool bytes (fuzz_render), a spool file read and printed by the spooler (fuzz_spool),
# the registry file (fuzz_registry) and the icon list's stream (fuzz_icon_list).
#   bench/fuzz.sh [SECONDS]
# Configures a clang build with AddressSanitizer, UBSan and libFuzzer in $FUZZ_BUILD
# (default build-fuzz), builds the targets, seeds each corpus with fuzz/make-seeds.py (the
# corpora under fuzz/ keep what earlier runs learnt) and prints, per target, the inputs
# run and whether anything was found. A finding (crash, leak, timeout, out of memory) is
# kept in fuzz/findings/ with the target's log beside it, and the script exits with 1.
set -eu
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_EACH=${1:-300}
BUILD=${FUZZ_BUILD:-$ROOT/build-fuzz}
FINDINGS=$ROOT/fuzz/findings
JOBS=${JOBS:-2}

for tool in clang clang++ cmake ninja python3; do
    if ! command -v $tool >/dev/null 2>&1; then
        echo "fuzz.sh: $tool is needed (clang 14 with libclang-rt-14-dev for libFuzzer)" >&2
        exit 2
    fi
done

launcher=
command -v ccache >/dev/null 2>&1 && launcher=-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPAGELLO_FUZZ=ON -DPAGELLO_SANITIZE=ON -DPAGELLO_BUILD_TESTS=OFF -DPAGELLO_BUILD_BENCH=OFF $launcher >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target fuzz_render fuzz_spool fuzz_registry fuzz_icon_list >/dev/null

# target  corpus  seeds  extra options
TARGETS="fuzz_render:corpus:render:-max_len=131072
fuzz_spool:corpus-spool:spool:-max_len=131072
fuzz_registry:corpus-registry:registry:
fuzz_icon_list:corpus-icons:icons:"

mkdir -p "$FINDINGS" "$BUILD/fuzz-logs"
export QT_QPA_PLATFORM=offscreen
export LSAN_OPTIONS="suppressions=$ROOT/fuzz/lsan.supp"
export UBSAN_OPTIONS=print_stacktrace=1
rm -f "$BUILD/fuzz-logs/found"
printf '%-15s %8s %12s %10s  %s\n' target seconds execs "execs/s" result
echo "$TARGETS" | while IFS=: read -r target corpus seeds options; do
    dir=$ROOT/fuzz/$corpus
    python3 "$ROOT/fuzz/make-seeds.py" "$seeds" "$dir"
    [ "$target" != fuzz_render ] || cp "$ROOT"/tests/data/*.prn "$dir/"
    log=$BUILD/fuzz-logs/$target.log
    before=$(ls "$FINDINGS" | grep -c "^$target-" || true)
    set +e
    # shellcheck disable=SC2086 # the options are words
    "$BUILD/fuzz/$target" "$dir" -max_total_time="$SECONDS_EACH" -timeout=120 -print_final_stats=1 \
        -artifact_prefix="$FINDINGS/$target-" $options >"$log" 2>&1
    status=$?
    set -e
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    after=$(ls "$FINDINGS" | grep -c "^$target-" || true)
    if [ "$status" -eq 0 ] && [ "$after" -eq "$before" ]; then
        result="nothing found"
    else
        artifact=$(sed -n "s/.*Test unit written to //p" "$log" | tail -n 1)
        cp "$log" "$FINDINGS/$target.log"
        result="FOUND (exit $status): $(grep -m 1 -E '^==[0-9]+==ERROR|^SUMMARY|fuzz_[a-z_]+: |deadly signal|ALARM' "$log" || true) ${artifact:+-> $artifact}"
        touch "$BUILD/fuzz-logs/found"
    fi
    printf '%-15s %8s %12s %10s  %s\n' "$target" "$SECONDS_EACH" "${execs:-?}" "${speed:-?}" "$result"
done
if [ -e "$BUILD/fuzz-logs/found" ]; then
    rm -f "$BUILD/fuzz-logs/found"
    echo "fuzz.sh: something was found; logs and inputs in $FINDINGS" >&2
    exit 1
fi
echo "logs in $BUILD/fuzz-logs"

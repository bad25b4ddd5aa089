#!/bin/sh
# Builds the libFuzzer targets of fuzz/ (clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz) and runs them.
#
#   scripts/fuzz.sh --short [target...]
#       every target over its corpus (fuzz/corpus/<target>) plus a fixed number
#       of mutated runs: a few seconds each, so CI catches a crash on the seeds.
#   scripts/fuzz.sh --long [seconds] [target...]
#       every target until 10 million runs or the time limit (default 3600 s),
#       then per target the runs done and the coverage reached (cov: edges,
#       ft: features, from libFuzzer's final statistics).
#
# Inputs found on the way go to build-fuzz/corpus/<target>, findings (crash-*,
# leak-*, timeout-*) to build-fuzz/findings/; the checked-in corpus is only
# read. A fixed finding is added to fuzz/corpus/<target>/ as a regression input.
set -e
cd "$(dirname "$0")/.."
mode=$1
[ $# -gt 0 ] && shift
seconds=3600
case "$mode" in
    --short) ;;
    --long)
        case "$1" in [0-9]*) seconds=$1; shift ;; esac ;;
    *)
        echo "usage: $0 --short [target...] | --long [seconds] [target...]" >&2
        exit 2 ;;
esac

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTK_FUZZ=ON \
    -DSTK_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz

targets=$*
if [ -z "$targets" ]; then
    for src in fuzz/fuzz_*.cpp; do
        name=${src#fuzz/fuzz_}
        targets="$targets ${name%.cpp}"
    done
fi

mkdir -p build-fuzz/findings
status=0
for target in $targets; do
    program=build-fuzz/fuzz/fuzz_$target
    log=build-fuzz/findings/$target${mode#-}.log
    if [ "$mode" = --short ]; then
        # The same run every time: the checked-in corpus, seeded mutations.
        work=build-fuzz/short/$target
        rm -rf "$work"
        limits="-runs=1000 -seed=1"
    else
        work=build-fuzz/corpus/$target
        limits="-runs=10000000 -max_total_time=$seconds"
    fi
    mkdir -p "$work" "fuzz/corpus/$target"
    # New inputs are written to the first folder only: the work folder.
    # shellcheck disable=SC2086
    if "$program" $limits -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="build-fuzz/findings/$target-" "$work" "fuzz/corpus/$target" \
        >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+).*/cov \1 ft \2/')
    printf '%-10s %-6s runs %s, %s\n' "$target" "$result" "${runs:-?}" "${cov:-cov ?}"
    if [ $result = FAILED ]; then tail -n 40 "$log"; fi
done
exit $status

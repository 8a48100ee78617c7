#!/usr/bin/env bash
# `make fuzz-smoke`: runs every fuzz target of a fuzz build (`make fuzz`) for a bounded time,
# each from a scratch copy of its seed corpus, under AddressSanitizer and
# UndefinedBehaviorSanitizer, and fails on any finding: a crash, a sanitizer report, a leak, an
# input slower than FUZZ_TIMEOUT or more memory than FUZZ_RSS_MB / FUZZ_MALLOC_MB. The targets
# load with the library's default memory budget (1 GiB), as programs do, so these limits are
# the cost a real load may have: an input that takes seconds, or memory beyond the budget, is a
# finding like a crash. Each finding's input and report are saved under
# fuzz/findings/<target>/. A table of executions, the slowest input and the peak memory per
# target ends the run.
#
#   FUZZ_SECONDS   seconds per target (45)
#   FUZZ_TARGETS   the targets to run, separated by spaces (all)
#   FUZZ_TIMEOUT   seconds one input may take (1)
#   FUZZ_RSS_MB    resident memory limit of a target (1536): the budget and the sanitizers' own
#   FUZZ_MALLOC_MB largest single allocation (1088): the budget and a little
set -euo pipefail
build=${1:-build-fuzz}
root=$(cd "$(dirname "$0")/.." && pwd)
fuzz=$(cd "$build/fuzz" && pwd)
seconds=${FUZZ_SECONDS:-45}
timeout=${FUZZ_TIMEOUT:-1}
rss_mb=${FUZZ_RSS_MB:-1536}
malloc_mb=${FUZZ_MALLOC_MB:-1088}
findings="$root/fuzz/findings"
targets=${FUZZ_TARGETS:-$(cut -d' ' -f1 "$fuzz/seeds.txt")}

# An UndefinedBehaviorSanitizer report ends the run, so that libFuzzer saves the input.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if ! "$fuzz/fuzz_chunk_mutator_test" >"$scratch/mutator.log" 2>&1; then
    cat "$scratch/mutator.log"
    echo "fuzz-smoke: the chunk mutator's test failed" >&2
    exit 1
fi

failed=0
rows=()
for target in $targets; do
    work="$scratch/$target"
    mkdir -p "$work/corpus"
    cp "$fuzz/seeds/$target"/* "$work/corpus/"
    seeds=$(find "$work/corpus" -type f | wc -l)
    echo "fuzz-smoke: $target, $seeds seeds, ${seconds}s"
    status=0
    (cd "$work" && "$fuzz/$target" -max_total_time="$seconds" -timeout="$timeout" \
        -rss_limit_mb="$rss_mb" -malloc_limit_mb="$malloc_mb" -print_final_stats=1 \
        -report_slow_units=0 \
        -artifact_prefix="$work/" corpus) >"$work/log" 2>&1 || status=$?

    final_stat() { grep -o "stat::$1: *[0-9]*" "$work/log" | grep -o '[0-9]*$' | tail -1; }
    # The last status line (#N ...) stands in for the final stats a crash may cut short.
    execs=$(final_stat number_of_executed_units || true)
    [[ -n "$execs" ]] || execs=$(grep -o '^#[0-9]*' "$work/log" | tail -1 | tr -d '#' || true)
    rate=$(final_stat average_exec_per_sec || true)
    rss=$(final_stat peak_rss_mb || true)
    corpus=$(find "$work/corpus" -type f | wc -l)
    # The slowest input libFuzzer met (it reports each new slowest one).
    slowest=$(grep -o 'Slowest unit: [0-9]* s' "$work/log" | grep -o '[0-9]*' | tail -1 || true)
    result=clean
    if [[ $status -ne 0 ]]; then
        failed=1
        result="FINDING (exit $status)"
        mkdir -p "$findings/$target"
        for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
            [[ -e "$artifact" ]] || continue
            cp "$artifact" "$findings/$target/"
            # The report: from the sanitizer's or libFuzzer's first error line on.
            sed -n '/^==[0-9]*==\|runtime error\|^ALARM\|out-of-memory\|ERROR: libFuzzer/,$p' \
                "$work/log" >"$findings/$target/$(basename "$artifact").txt"
            result="FINDING: fuzz/findings/$target/$(basename "$artifact")"
        done
        grep -m1 -E '^SUMMARY|runtime error|out-of-memory|ALARM' "$work/log" >&2 || tail -20 "$work/log" >&2
    fi
    rows+=("$(printf '%-18s %6s %11s %9s %7s %8s %9s  %s' "$target" "$seeds" "${execs:-?}" \
        "${rate:-?}" "$corpus" "${rss:-?}" "${slowest:-0}" "$result")")
done

echo
printf '%-18s %6s %11s %9s %7s %8s %9s  %s\n' target seeds executions "exec/s" corpus "rss MB" \
    "slowest s" result
printf '%s\n' "${rows[@]}"
exit $failed

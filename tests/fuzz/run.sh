#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Runs each fuzzer for SECONDS over a scratch copy of its seed corpus, one
# after the other, and prints what each did. New inputs and crash reproducers
# go under BUILD_DIR/fuzz-work/<target>/, never into the repository.
# Usage: tests/fuzz/run.sh [-n RUNS] BUILD_DIR SECONDS [TARGET...]
#   -n RUNS: run each fuzzer until it has made RUNS executions instead, with
#            SECONDS as a limit (0: none)
#   TARGET: trim_field, identity, stats, web_config, device_request,
#           device_answers, basic_auth, scrape_timeout (default: every one
#           built)
set -u

runs=-1
if [ "${1:-}" = -n ]; then
    runs=${2:?}
    shift 2
fi
if [ $# -lt 2 ]; then
    echo "usage: $0 [-n RUNS] BUILD_DIR SECONDS [TARGET...]" >&2
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 0 ]; then
    set -- trim_field identity stats
    # The exporter's, where it is built.
    for target in web_config device_request device_answers basic_auth scrape_timeout; do
        [ -x "$build/tests/fuzz/fuzz_$target" ] && set -- "$@" "$target"
    done
fi

status=0
for target in "$@"; do
    binary=$build/tests/fuzz/fuzz_$target
    if [ ! -x "$binary" ]; then
        echo "$target: no $binary (fuzzers are built only with clang and its libFuzzer runtime)" >&2
        status=1
        continue
    fi
    # An input longer than the data the target reads only slows it down.
    case $target in
        trim_field) max_len=40 ;;
        identity) max_len=4096 ;;
        stats) max_len=8192 ;;
        device_request|scrape_timeout) max_len=64 ;;
        basic_auth|web_config) max_len=8192 ;;
        *) max_len=4096 ;;
    esac

    work=$build/fuzz-work/$target
    rm -rf "$work/corpus"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$here/corpus/$target/"* "$work/corpus/"
    log=$work/log

    "$binary" -runs="$runs" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" >"$log" 2>&1
    result=$?

    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    coverage=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' || true)
    inputs=$(find "$work/corpus" -type f | wc -l)
    if [ "$result" -eq 0 ]; then
        echo "$target: ${executed:-?} executions in ${took:-$seconds} s (${speed:-?}/s), ${coverage:-no coverage line}, $inputs inputs in $work/corpus"
    else
        echo "$target: FAILED (exit $result) after ${executed:-?} executions; log: $log" >&2
        ls "$work/artifacts/" 2>/dev/null | sed "s|^|  reproducer: $work/artifacts/|" >&2
        # The report itself: the sanitizer's or the target's own message.
        grep -E '^(==[0-9]+==ERROR|SUMMARY|print_|trim_field|stats_delta|read_web_config|refusal_reason|device answers|decode_basic_header|scrape_seconds)' "$log" | head -n 20 >&2
        status=1
    fi
done
exit $status

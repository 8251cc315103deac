#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# What volscan costs to start, next to a C program that makes the same system
# calls (minimal.c): both run until the first device request fails on
# /dev/null, which is all of start-up and no device work.
#
#   measure.sh [-n runs] build_dir    system calls, instructions, wall time
#   measure.sh -c percent build_dir   instructions only; fails when volscan's
#                                     exceed the C program's by more than percent
# In place of build_dir, the two programs may be named: volscan startup_minimal.
#
# Instructions are callgrind's total Ir, the same from run to run. Wall time
# moves with the machine's load and is dominated by exec itself: the two
# programs take turns in rounds (of hyperfine, or of a timed loop without it)
# and each figure is the median of its rounds.
set -eu

runs=2000
limit=
while getopts c:n: option; do
    case $option in
    c) limit=$OPTARG ;;
    n) runs=$OPTARG ;;
    *) echo "usage: measure.sh [-c percent] [-n runs] build_dir | volscan startup_minimal" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
case $# in
1)
    build=$(cd "$1" && pwd)
    volscan="$build/volscan"
    minimal="$build/tests/startup/startup_minimal"
    ;;
2)
    volscan=$1
    minimal=$2
    ;;
*)
    echo "usage: measure.sh [-c percent] [-n runs] build_dir | volscan startup_minimal" >&2
    exit 2
    ;;
esac
for program in "$volscan" "$minimal"; do
    [ -x "$program" ] || { echo "measure.sh: $program is not built" >&2; exit 2; }
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Copies without debug information, which plays no part at run time but
# which valgrind 3.19 cannot read when clang wrote it as DWARF 5. volscan
# keeps its name: it is how it knows its mode.
mkdir "$scratch/bin"
for program in "$volscan" "$minimal"; do
    copy="$scratch/bin/$(basename "$program")"
    objcopy --strip-debug "$program" "$copy" 2>/dev/null || cp "$program" "$copy"
done
volscan="$scratch/bin/$(basename "$volscan")"
minimal="$scratch/bin/$(basename "$minimal")"

ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'
}

# Callgrind's count for one run in an empty environment, which start-up
# would otherwise scan and which differs from shell to shell.
instructions() {
    env -i valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" \
        >/dev/null 2>"$scratch/callgrind" || true
    sed -n 's/^==[0-9]*== Collected : \([0-9]*\)$/\1/p' "$scratch/callgrind"
}

if command -v valgrind >/dev/null 2>&1; then
    volscan_ir=$(instructions "$volscan" id null)
    minimal_ir=$(instructions "$minimal" null)
    if [ -z "$volscan_ir" ] || [ -z "$minimal_ir" ]; then
        echo "measure.sh: callgrind gave no count:" >&2
        cat "$scratch/callgrind" >&2
        exit 2
    fi
    ir_ratio=$(ratio "$volscan_ir" "$minimal_ir")
    ir_line="instructions (callgrind Ir): volscan $volscan_ir, C program $minimal_ir, ratio $ir_ratio"
elif [ -n "$limit" ]; then
    echo "measure.sh: valgrind is not installed" >&2
    exit 2
else
    ir_line="instructions: valgrind is not installed"
fi

if [ -n "$limit" ]; then
    echo "$ir_line (limit +$limit%)"
    awk -v a="$volscan_ir" -v b="$minimal_ir" -v p="$limit" 'BEGIN { exit !(a <= b * (1 + p / 100)) }'
    exit
fi

# The yardstick is only fair while it makes the same calls; addresses, the
# random bytes and process ids aside.
if command -v strace >/dev/null 2>&1; then
    normalise() {
        sed -E 's/0x[0-9a-f]+/ADDR/g; s/"(\\x[0-9a-f]{2})+"/BYTES/; s/^execve\(.*/execve(...)/;
                s/ += / = /; s/= [0-9]+$/= N/; /^\+\+\+ /d'
    }
    env -i strace -o "$scratch/volscan.trace" "$volscan" id null 2>/dev/null || true
    env -i strace -o "$scratch/minimal.trace" "$minimal" null 2>/dev/null || true
    if [ ! -s "$scratch/volscan.trace" ] || [ ! -s "$scratch/minimal.trace" ]; then
        echo "system calls: strace could not trace here"
    elif normalise <"$scratch/volscan.trace" >"$scratch/volscan.calls" &&
        normalise <"$scratch/minimal.trace" >"$scratch/minimal.calls" &&
        diff -u "$scratch/minimal.calls" "$scratch/volscan.calls" >"$scratch/calls.diff"; then
        echo "system calls: the same ($(wc -l <"$scratch/volscan.calls") each)"
    else
        echo "system calls: they differ (- C program, + volscan):"
        sed -n '3,$p' "$scratch/calls.diff"
    fi
fi

echo "$ir_line"

# Median wall time of one run, in microseconds. The runs come in rounds that
# take turns, so that a change in the machine's load falls on both programs;
# each figure is the median of its rounds' medians.
rounds=10
per_round=$(((runs + rounds - 1) / rounds))
median() {
    sort -n | awk '{ v[NR] = $1 } END { printf "%.1f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
round=0
: >"$scratch/minimal.us"
: >"$scratch/volscan.us"
while [ $round -lt $rounds ]; do
    if command -v hyperfine >/dev/null 2>&1; then
        hyperfine -N -i --warmup 20 --runs "$per_round" --export-csv "$scratch/wall.csv" \
            "$minimal null" "$volscan id null" >/dev/null 2>&1
        awk -F, 'NR == 2 { print $4 * 1e6 }' "$scratch/wall.csv" >>"$scratch/minimal.us"
        awk -F, 'NR == 3 { print $4 * 1e6 }' "$scratch/wall.csv" >>"$scratch/volscan.us"
        how="hyperfine, $rounds rounds of $per_round runs, median"
    else
        for which in minimal volscan; do
            start=$(date +%s%N)
            i=0
            while [ $i -lt $per_round ]; do
                if [ $which = minimal ]; then
                    "$minimal" null 2>/dev/null || true
                else
                    "$volscan" id null 2>/dev/null || true
                fi
                i=$((i + 1))
            done
            end=$(date +%s%N)
            awk -v t=$((end - start)) -v n=$per_round 'BEGIN { print t / n / 1000 }' >>"$scratch/$which.us"
        done
        how="shell loop, $rounds rounds of $per_round runs, mean per round, median of rounds"
    fi
    round=$((round + 1))
done
minimal_us=$(median <"$scratch/minimal.us")
volscan_us=$(median <"$scratch/volscan.us")
echo "wall time ($how): volscan $volscan_us us, C program $minimal_us us, ratio $(ratio "$volscan_us" "$minimal_us")"

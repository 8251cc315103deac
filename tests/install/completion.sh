#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# What bash offers for volscan, volscan-id and volscan-stats, with the
# emulated NVMe disks of nvme-disks.umockdev as the only nodes under /dev.
#
#   completion.sh COMPLETION_FILE FIXTURE
#
# Exit status 77 (skipped) without bash or umockdev-run.
set -u

if [ "${1-}" = --cases ]; then
    exec bash -c '
        source "$1" || exit 1
        failures=0
        # offer "command line, the cursor at its end" "expected offer"
        offer() {
            local line=$1 want=$2
            COMP_LINE=$line
            COMP_POINT=${#line}
            read -r -a COMP_WORDS <<<"$line"
            [[ $line == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            COMPREPLY=()
            _volscan
            local got
            got=$(printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " ")
            got=${got% }
            if [[ $got != "$want" ]]; then
                echo "FAIL: \"$line\": want \"$want\", got \"$got\""
                failures=$((failures + 1))
            fi
        }
        all="/dev/nvme0 /dev/nvme0n1 /dev/nvme1 /dev/nvme1n1 /dev/nvme2 /dev/nvme2n1"
        all="$all /dev/nvme3 /dev/nvme3n1 /dev/nvme4 /dev/nvme4n1 /dev/nvme5 /dev/nvme5n1"
        offer "volscan " "id stats top"
        offer "volscan t" "top"
        offer "volscan -" "--help --version"
        offer "volscan top -" "-i -j -n"
        offer "volscan top -n " ""
        offer "volscan top -i 2 -n 3 " "$all"
        offer "volscan top -j nvme0 nvme1" "nvme1 nvme1n1"
        offer "volscan top nvme0 -" ""
        offer "volscan s" "stats"
        offer "/usr/local/bin/volscan i" "id"
        offer "volscan id -" "-b -m -s -u -v"
        offer "volscan id -v -" "-b -m -s -u -v"
        offer "volscan stats -" "-i -j"
        offer "volscan-id -" "-b -m -s -u -v"
        offer "volscan-stats -j -" "-i -j"
        offer "/sbin/volscan-stats -" "-i -j"
        offer "volscan-stats -i " ""
        offer "volscan-stats -ji " ""
        offer "volscan-stats -i 5 " "$all"
        offer "volscan-stats -i5 " "$all"
        offer "volscan id " "$all"
        offer "volscan id -i 0 " "$all"
        offer "volscan id /dev/nvme1" "/dev/nvme1 /dev/nvme1n1"
        offer "volscan-id -b nvme2" "nvme2 nvme2n1"
        offer "volscan id -- " "$all"
        offer "volscan id -- -" ""
        offer "volscan id nvme0 " ""
        offer "volscan id nvme0 -" ""
        offer "volscan bogus " ""
        offer "volscan bogus -" ""
        complete -p volscan volscan-id volscan-stats >/dev/null \
            || { echo "FAIL: not every name is completed"; failures=$((failures + 1)); }
        if ((failures)); then
            echo "$failures case(s) failed"
            exit 1
        fi
        echo "all cases passed"
    ' completion "$2"
fi

completion=$1
fixture=$2
for tool in bash umockdev-run; do
    if ! command -v $tool >/dev/null; then
        echo "skipped: no $tool"
        exit 77
    fi
done
work=$(mktemp -d /tmp/volscan-completion.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
grep -v '^#' "$fixture" | sed '1{/^$/d;}' >"$work/disks.umockdev"
umockdev-run -d "$work/disks.umockdev" -- sh "$0" --cases "$completion"

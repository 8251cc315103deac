#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# What bash offers for volscan-exporter, in a folder of a few files. Each
# case runs twice: with the words split as bash splits them by default (at
# "=", which COMP_WORDBREAKS holds) and with "=" left inside the word.
#
#   completion_exporter.sh COMPLETION_FILE
#
# Exit status 77 (skipped) without bash.
set -u
command -v bash >/dev/null || { echo "skipped: no bash"; exit 77; }
work=$(mktemp -d /tmp/volscan-completion.XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
mkdir "$work/keys" && touch "$work/web.yml" "$work/ebs.prom" "$work/ebs.txt"
cd "$work" || exit 1
exec bash -c '
    source "$1" || exit 1
    compopt() { :; } # outside a completion bash refuses it
    failures=0
    # offer "command line, the cursor at its end" "expected offer"
    offer() {
        local line=$1 want=$2 split words
        for split in "=" ""; do
            words=$line
            # "--option=" is the words "--option" and "=", the cursor on "=".
            [[ -n $split ]] && words=${line//=/ = } && [[ $line == *= ]] && words=${words% }
            read -r -a COMP_WORDS <<<"$words"
            [[ $words == *" " ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            COMPREPLY=()
            _volscan_exporter
            local got
            got=$(printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " ")
            got=${got% }
            # Split at "=", bash puts the offer after the "=".
            local expected=$want
            if [[ -n $split && $line == *=* ]]; then
                expected=$(printf "%s\n" $want | sed "s/^--[a-z.-]*=//" | LC_ALL=C sort | tr "\n" " ")
                expected=${expected% }
            fi
            if [[ $got != "$expected" ]]; then
                echo "FAIL: \"$line\" (${split:-unsplit}): want \"$expected\", got \"$got\""
                failures=$((failures + 1))
            fi
        done
    }
    offer "volscan-exporter -" "--collector.latency-buckets= --help --scrape.threads= --scrape.timeout= --textfile.interval= --textfile.output= --version --web.config.file= --web.ipv6-prefix-length= --web.listen-address= --web.max-connections-per-address= --web.max-connections= --web.telemetry-path= --web.user="
    offer "volscan-exporter --scr" "--scrape.threads= --scrape.timeout="
    offer "volscan-exporter --web.user=nob" "--web.user=nobody"
    offer "volscan-exporter --web.c" "--web.config.file="
    offer "volscan-exporter --web.max" "--web.max-connections-per-address= --web.max-connections="
    offer "volscan-exporter --text" "--textfile.interval= --textfile.output="
    offer "volscan-exporter --web.config.file=" "--web.config.file=ebs.prom --web.config.file=ebs.txt --web.config.file=keys --web.config.file=web.yml"
    offer "volscan-exporter --web.config.file=w" "--web.config.file=web.yml"
    offer "volscan-exporter --textfile.output=" "--textfile.output=ebs.prom --textfile.output=keys"
    offer "volscan-exporter --textfile.output=e" "--textfile.output=ebs.prom"
    offer "/usr/bin/volscan-exporter --web.telemetry-path=" "--web.telemetry-path=/metrics"
    offer "volscan-exporter --coll" "--collector.latency-buckets="
    offer "volscan-exporter --collector.latency-buckets=" "--collector.latency-buckets=0.000064,0.000128,0.000256,0.000512,0.001024,0.002048,0.004096,0.008192,0.016384,0.032768,0.065536,0.131072"
    offer "volscan-exporter --collector.latency-buckets=0.001" ""
    offer "volscan-exporter --web.listen-address=" ""
    offer "volscan-exporter --textfile.interval=" ""
    offer "volscan-exporter " ""
    offer "volscan-exporter --help " ""
    complete -p volscan-exporter >/dev/null \
        || { echo "FAIL: volscan-exporter is not completed"; failures=$((failures + 1)); }
    if ((failures)); then
        echo "$failures case(s) failed"
        exit 1
    fi
    echo "all cases passed"
' completion "$1"

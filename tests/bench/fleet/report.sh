#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# The tables (table.md) and the plot (fleet.svg) of a fleet run's results.
#
#   report.sh OUTPUT_FOLDER
set -u
out=${1:?usage: report.sh OUTPUT_FOLDER}
cd "$out" || exit 1
touch results.tsv groups.tsv panels.tsv pages.tsv quantiles.tsv
sort -t"$(printf '\t')" -k2,2n -k1,1n results.tsv > results.sorted && mv results.sorted results.tsv
sort -t"$(printf '\t')" -s -k2,2n -k1,1n groups.tsv > groups.sorted && mv groups.sorted groups.tsv
# The shards of a direction's latency groups as one row: the longest of any,
# the largest mean, the iterations all missed, and per volume what the
# shards cost together (their means added up).
awk -F'\t' -v OFS='\t' '
    { group = $3 }
    match(group, /-[0-9]+\.rules$/) { group = substr(group, 1, RSTART - 1) }
    { key = $1 OFS $2 OFS group }
    !(key in count) { order[++keys] = key }
    { if (!(key in longest) || $4 > longest[key]) longest[key] = $4
      if (!(key in mean) || $5 > mean[key]) mean[key] = $5
      total[key] += $5; missed[key] += $6; count[key]++ }
    END { for (i = 1; i <= keys; i++) { k = order[i]
        print k (count[k] > 1 ? "-0.." count[k] - 1 ".rules" : ""), longest[k], mean[k], missed[k], total[k] } }' \
    groups.tsv > groups.merged

{
    echo "| nodes | bins | volumes | head series | per volume | exporter's per volume | RSS GiB (peak) | CPU cores | slowest panel, default s (series) | slowest panel, All s (series) |"
    echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
    while IFS="$(printf '\t')" read -r nodes bins volumes head per ebs rss hwm cores; do
        default=$(awk -F'\t' -v k="$nodes-$bins" '$1 == k && $3 == "default" { t[$4] += $5; s[$4] += $6 }
            END { for (p in t) if (t[p] > best) { best = t[p]; n = s[p] } printf "%.2f (%d)", best, n }' panels.tsv)
        all=$(awk -F'\t' -v k="$nodes-$bins" '$1 == k && $3 == "all" { t[$4] += $5; s[$4] += $6 }
            END { for (p in t) if (t[p] > best) { best = t[p]; n = s[p] } printf "%.2f (%d)", best, n }' panels.tsv)
        echo "| $nodes | $bins | $volumes | $(printf '%.0f' "$head") | $per | $ebs | $(echo "$rss $hwm" | awk '{ printf "%.1f (%.1f)", $1 / 1024, $2 / 1024 }') | $cores | $default | $all |"
    done < results.tsv
    echo
    echo "Rule groups: the longest evaluation in the measured window, its mean, and the iterations missed;"
    echo "the shards of a latency group as one row (the longest of any shard, the largest mean, and per"
    echo "volume their means added up)."
    echo
    echo "| nodes | bins | group | longest s | mean s | ms per volume | missed |"
    echo "|---:|---:|---|---:|---:|---:|---:|"
    awk -F'\t' '{ printf "| %s | %s | %s | %.3f | %.3f | %.3f | %s |\n", $1, $2, $3, $4, $5, $7 * 1000 / ($1 * 27), $6 }' groups.merged
    echo
    echo "Panels: seconds to answer (all the panel's queries, one after the other) and series drawn."
    echo
    echo "| nodes-bins | dashboard | selection | panel | seconds | series | status |"
    echo "|---|---|---|---|---:|---:|---|"
    awk -F'\t' '{ t[$1 FS $2 FS $3 FS $4] += $5; s[$1 FS $2 FS $3 FS $4] += $6;
                  if ($7 != "success") st[$1 FS $2 FS $3 FS $4] = $7; order[++n] = $1 FS $2 FS $3 FS $4 }
        END { for (i = 1; i <= n; i++) { k = order[i]; if (k in done) continue; done[k] = 1; split(k, f, FS);
              printf "| %s | %s | %s | %s | %.3f | %d | %s |\n", f[1], f[2], f[3], f[4], t[k], s[k], (k in st) ? st[k] : "ok" } }' panels.tsv
    echo
    echo "One node's page of 27 volumes (the exporter's metric writer): samples, bytes, gzip bytes, CPU to render and to compress."
    echo
    echo "| nodes | bins | buckets | samples | bytes | gzip bytes | render µs | gzip µs |"
    echo "|---:|---:|---|---:|---:|---:|---:|---:|"
    sort -u pages.tsv | sort -t"$(printf '\t')" -k2,2n -k3,3 | awk -F'\t' '!seen[$2 FS $3]++ { printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", $1, $2, $3 == "device" ? "every bin" : "12 bounds", $4, $5, $6, $7, $8 }'
    if [ -s quantiles.tsv ]; then
        echo
        echo "Quantiles from 12 merged bounds against the 64 bins (histogram_quantile over rate[5m], every volume of the merged nodes): relative error, largest and median."
        echo
        awk -F'\t' '$1 == "series per volume" { printf "Series per volume: %s with %s, %s %s.\n\n", $3, $2, $5, $4 }' quantiles.tsv
        echo "| histogram | quantile | max error | median error | volumes |"
        echo "|---|---|---:|---:|---:|"
        awk -F'\t' '$1 != "series per volume" { printf "| %s | %s | %.1f %% | %.1f %% | %s |\n", $1, $2, $3 * 100, $4 * 100, $5 }' quantiles.tsv
    fi
    if [ -s limit ]; then
        echo
        echo "Limits:"
        sed 's/^/- /' limit
    fi
} > table.md

# The plot: four panels over the fleet's size (32 bins).
awk -F'\t' '$2 == 32 { print $1, $4 / 1e6, $8 / 1024, $9 }' results.tsv > plot-main.dat
awk -F'\t' '$2 == 32 { print $3 }' groups.merged | sort -u > plot-groups.txt
: > plot-groups.dat
while read -r g; do
    echo "\"$g\""
    awk -F'\t' -v g="$g" '$2 == 32 && $3 == g { print $1, $4 }' groups.merged
    printf '\n\n'
done < plot-groups.txt >> plot-groups.dat
for selection in default all; do
    awk -F'\t' -v s="$selection" '$3 == s { split($1, k, "-"); if (k[2] != 32) next; t[k[1] FS $4] += $5 }
        END { for (x in t) { split(x, f, FS); if (t[x] > m[f[1]]) m[f[1]] = t[x] } for (n in m) print n, m[n] }' panels.tsv \
        | sort -n > "plot-panels-$selection.dat"
done
groups=$(wc -l < plot-groups.txt)
if [ -s plot-main.dat ]; then
    gnuplot 2>plot.log <<EOF
set terminal svg size 1000,720 font "sans,11" background rgb "white"
set output "fleet.svg"
set multiplot layout 2,2 title "volscan fleet: 27 volumes a node, 32 bins, scraped every 15 s (2 shared cores)"
set key top left
set grid
set xlabel "nodes"
set ylabel "million head series"
set y2label "GiB"
set y2tics
set ytics nomirror
set title "Prometheus: head series and peak RSS"
plot "plot-main.dat" using 1:2 with linespoints title "head series", "" using 1:3 axes x1y2 with linespoints title "peak RSS"
unset y2label
unset y2tics
set ytics mirror
set ylabel "seconds"
set title "Rule groups: longest evaluation"
set yrange [0:*]
# Each aim a grey line, which the axis always reaches.
plot for [i=0:$((groups - 1))] "plot-groups.dat" index i using 1:2 with linespoints title columnheader(1), \
    7.5 with lines lc "gray40" title "a quarter of 30 s"
set title "Slowest dashboard panel"
plot "plot-panels-default.dat" using 1:2 with linespoints title "default selection", "plot-panels-all.dat" using 1:2 with linespoints title "All", \
    2 with lines lc "gray40" title "2 s"
set ylabel "cores"
set title "Prometheus CPU"
plot "plot-main.dat" using 1:4 with linespoints title "CPU (of 2)"
unset multiplot
EOF
fi
cat table.md

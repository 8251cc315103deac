#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# volscan top on a real terminal: tmux runs it on the test bed (nvme0 a busy
# volume whose IOPS limit is exceeded from its fourth sample on). The screen
# is redrawn in place, the throttled limit is highlighted, q and Ctrl+C each
# end it with status 0, and the terminal is left as it was. The table fits
# the terminal: all its columns at 200, the ones that matter most at 80, and
# a resized window gets the same report again at once, to its new width.
#   terminal.sh VOLSCAN_BED
set -u
bed=$1
. "$(dirname "$0")/../lib.sh"
command -v tmux >/dev/null 2>&1 || skip "tmux not found"
dir=$(mktemp -d)
runs=0
socket=volscan-top-$$-$runs
# A failure shows the screen it was looking at.
trap 'status=$?; [ "$status" -eq 1 ] && [ -f "$dir/screen" ] && cat -v "$dir/screen";
      tmux -L "$socket" kill-server 2>/dev/null; rm -rf "$dir"' EXIT

# Succeeds once the pane shows text matching the pattern, within 15 seconds;
# with a second argument -e, the text with its attributes as sequences.
wait_screen()
{
    i=0
    while [ "$i" -lt 150 ]; do
        tmux -L "$socket" capture-pane -p ${2:-} -t top >"$dir/screen" 2>/dev/null
        grep -q -- "$1" "$dir/screen" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

wait_file()
{
    i=0
    while [ "$i" -lt 100 ]; do
        [ -s "$1" ] && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

# start WIDTH ARGUMENTS...: volscan top on the bed in a new tmux window.
start()
{
    width=$1
    shift
    # A server of its own for each run: the last one's, whose session was
    # just killed, may still be on its way out and refuse a new session.
    runs=$((runs + 1))
    socket=volscan-top-$$-$runs
    tmux -L "$socket" -f /dev/null new-session -d -s top -x "$width" -y 40 \
        "sh -c 'trap \"\" INT; \"$bed\" volscan top $*; echo \$? >\"$dir/status\"; stty -a >\"$dir/stty\"; sleep 60'" ||
        fail "tmux did not start"
}

for key in q C-c; do
    fail_context=$key
    rm -f "$dir/status" "$dir/stty"
    start 220 nvme0
    wait_screen '^nvme0 ' || fail "no row for nvme0"
    grep -q '(q quits)' "$dir/screen" || fail "no title line"
    grep -q 'read latency, ' "$dir/screen" || fail "no latency bars under the one device"
    # Redrawn in place: one header whatever the number of intervals so far.
    wait_screen '31m' -e || fail "the throttled limit is not highlighted"
    wait_screen '^nvme0 ' || fail "no row for nvme0"
    [ "$(grep -c '^device ' "$dir/screen")" -eq 1 ] || fail "the screen was not redrawn in place"
    tmux -L "$socket" send-keys -t top "$key"
    wait_file "$dir/status" || fail "volscan top did not end"
    [ "$(cat "$dir/status")" = 0 ] || fail "exit status $(cat "$dir/status")"
    wait_file "$dir/stty" || fail "no stty"
    grep -q -- ' icanon ' "$dir/stty" && grep -q -- ' echo ' "$dir/stty" ||
        fail "terminal not restored: $(cat "$dir/stty")"
    tmux -L "$socket" kill-session -t top
done

# The two header lines, as tmux shows them (without trailing blanks), and
# the number of words in nvme0's row.
full_groups='                                   ----- ops/s ----- ---- MiB/s ---- ------ read latency (us) ------ ----- write latency (us) ------       ----- limit exceeded (% of time) ------'
full_names='device       volume                    read    write    read   write    mean     p50     p90     p99    mean     p50     p90     p99 queue  vol-IOPS  vol-tput inst-IOPS inst-tput'
narrow_groups='                                   ----- ops/s -----'
narrow_names='device       volume                    read    write  rd-p99  wr-p99  limited%'

# table_shown GROUPS NAMES WORDS [TITLE]: the screen shows this table (under
# this title line).
table_shown()
{
    grep -Fxq -- "$1" "$dir/screen" && grep -Fxq -- "$2" "$dir/screen" &&
        [ "$(awk '$1 == "nvme0n1" { print NF }' "$dir/screen")" = "$3" ] &&
        { [ -z "${4:-}" ] || [ "$(head -n 1 "$dir/screen")" = "$4" ]; }
}

# wait_table GROUPS NAMES WORDS [TITLE]: within 15 seconds; a redraw is
# looked at once it is whole.
wait_table()
{
    i=0
    while [ "$i" -lt 150 ]; do
        tmux -L "$socket" capture-pane -p -t top >"$dir/screen" 2>/dev/null
        table_shown "$@" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    grep -Fxq -- "$1" "$dir/screen" || fail "no group line '$1'"
    grep -Fxq -- "$2" "$dir/screen" || fail "no column names '$2'"
    words=$(awk '$1 == "nvme0n1" { print NF }' "$dir/screen")
    [ "$words" = "$3" ] || fail "nvme0n1's row has '$words' words, not $3"
    fail "a new report, not the one titled '$4' redrawn"
}

fail_context=200
start 200
wait_table "$full_groups" "$full_names" 19
tmux -L "$socket" kill-session -t top

fail_context=80
start 80
wait_table "$narrow_groups" "$narrow_names" 7
tmux -L "$socket" kill-session -t top

# Resized between two reports 6 seconds apart: the report on screen comes
# again, its title and time unchanged, to the new width, before the next one.
fail_context=resize
start 200 -i 6
wait_table "$full_groups" "$full_names" 19
title=$(head -n 1 "$dir/screen")
tmux -L "$socket" resize-window -t top -x 80 -y 40
wait_table "$narrow_groups" "$narrow_names" 7 "$title"
tmux -L "$socket" resize-window -t top -x 200 -y 40
wait_table "$full_groups" "$full_names" 19 "$title"
tmux -L "$socket" kill-session -t top
echo "ok"

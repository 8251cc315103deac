#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# volscan top on a real terminal: tmux runs it on the test bed (nvme0 a busy
# volume whose IOPS limit is exceeded from its fourth sample on). The screen
# is redrawn in place, the throttled limit is highlighted, q and Ctrl+C each
# end it with status 0, and the terminal is left as it was.
#   terminal.sh VOLSCAN_BED
set -u
bed=$1
command -v tmux >/dev/null 2>&1 || { echo "tmux not found"; exit 77; }
dir=$(mktemp -d)
socket=volscan-top-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null; rm -rf "$dir"' EXIT

fail()
{
    echo "FAIL ($key): $*"
    [ -f "$dir/screen" ] && cat -v "$dir/screen"
    exit 1
}

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

for key in q C-c; do
    rm -f "$dir/status" "$dir/stty"
    tmux -L "$socket" -f /dev/null new-session -d -s top -x 220 -y 40 \
        "sh -c 'trap \"\" INT; \"$bed\" volscan top nvme0; echo \$? >\"$dir/status\"; stty -a >\"$dir/stty\"; sleep 60'" ||
        fail "tmux did not start"
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
echo "ok"

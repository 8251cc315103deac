#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Installs volscan for real, as root with the default prefix, and runs the
# udev rules that name EBS volumes from where the install put them through
# the real udev rule engine (udevadm test) against the emulated disks of
# nvme-disks.umockdev; the installed volscan-id is then swapped for a
# stand-in that answers as the real one would on each case's volume. Also:
# a root install has a running udev name the volumes at once, and make
# uninstall removes every file. All of it runs in a mount namespace of its
# own, where /run is new and /dev, /usr/local and udev's rules folders are
# overlays or empty, so that nothing written reaches the machine.
#
#   udev_rules.sh CMAKE BUILD_DIR RULES_DIR RULES_TEMPLATE FIXTURE
#
# Exit status 77 (skipped) when not root, or when udevadm, umockdev-run,
# python3 or a mount namespace is not to be had.
set -u

if [ "${1-}" = --inside ]; then
    mode=inside
    work=$2
elif [ "${1-}" = --cases ]; then
    mode=cases
    work=$2
else
    mode=outside
    cmake=$1
    build=$2
    rules_dir=$3
    template=$4
    fixture=$5
fi

skip() {
    echo "skipped: $*"
    exit 77
}

# Where udevadm is missing, this is all that is checked: every line is a
# list of KEY OPERATOR "VALUE" with keys that the rules use, and every GOTO
# jumps forward to a LABEL.
lint() {
    awk '
    /^#/ || /^$/ { next }
    {
        line = $0
        for (;;) {
            if (!match(line, /^[A-Z]+(\{[A-Za-z0-9_*]+\})?(==|!=|\+=|=)"[^"]*"/)) {
                print FILENAME ":" NR ": not KEY OPERATOR \"VALUE\": " line
                bad = 1
                next
            }
            item = substr(line, 1, RLENGTH)
            line = substr(line, RLENGTH + 1)
            key = item
            sub(/[{=!+].*/, "", key)
            if (key !~ /^(ACTION|SUBSYSTEM|KERNEL|ENV|ATTRS|PROGRAM|RESULT|IMPORT|SYMLINK|GOTO|LABEL)$/) {
                print FILENAME ":" NR ": unknown key " key
                bad = 1
            }
            value = item
            sub(/^[^"]*"/, "", value)
            sub(/"$/, "", value)
            if (key == "GOTO") pending[value] = NR
            if (key == "LABEL") delete pending[value]
            if (line == "") break
            if (substr(line, 1, 2) != ", ") {
                print FILENAME ":" NR ": items not parted by \", \": " line
                bad = 1
                next
            }
            line = substr(line, 3)
        }
    }
    END {
        for (label in pending) {
            print FILENAME ":" pending[label] ": GOTO " label " has no LABEL after it"
            bad = 1
        }
        exit bad
    }' "$1"
}

if [ $mode = outside ]; then
    lint "$template" || exit 1
    if grep -v '@CMAKE_INSTALL_FULL_BINDIR@' "$template" | grep -q '@[A-Za-z_]*@'; then
        echo "FAIL: $template has a placeholder that the install does not fill"
        exit 1
    fi
    [ "$(id -u)" -eq 0 ] || skip "not root: the install is a real one, in a mount namespace"
    for tool in udevadm umockdev-run unshare python3; do
        command -v $tool >/dev/null || skip "no $tool (Debian packages udev, umockdev, python3)"
    done
    [ -d "$rules_dir" ] || skip "no $rules_dir here"
    work=$(mktemp -d /tmp/volscan-udev.XXXXXX) || exit 1
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/stub" || exit 1

    # volscan-id as the rules run it: it prints the answer of the case, or
    # fails as on an instance-storage disk. Every call is logged.
    cat >"$work/volscan-id" <<EOF
#!/bin/sh
echo "\$*" >>"$work/calls"
if [ -f "$work/answer" ]; then
    cat "$work/answer"
else
    echo "volscan-id: Not an EBS device: \${3#/dev/}" >&2
    exit 1
fi
EOF
    # udevadm as the install meets it where udev runs: it logs its calls.
    cat >"$work/stub/udevadm" <<EOF
#!/bin/sh
echo "udevadm \$*" >>"$work/udevadm-calls"
EOF
    chmod +x "$work/volscan-id" "$work/stub/udevadm"
    grep -v '^#' "$fixture" | sed '1{/^$/d;}' >"$work/disks.umockdev"
    cp "$0" "$work/run.sh"
    printf '%s\n' "$cmake" "$build" "$rules_dir" >"$work/args"

    unshare -m sh "$work/run.sh" --inside "$work"
    exit $?
fi

if [ $mode = inside ]; then
    { read -r cmake && read -r build && read -r rules_dir; } <"$work/args"
    # overlay FOLDER NAME: FOLDER as it is, its changes kept in $work/NAME.
    overlay() {
        mkdir -p "$work/$2-upper" "$work/$2-work" \
            && mount -t overlay overlay \
                -o "lowerdir=$1,upperdir=$work/$2-upper,workdir=$work/$2-work" "$1"
    }
    mkdir -p "$work/pts" || exit 1
    if ! mount --make-rprivate / \
        || ! mount --rbind /dev/pts "$work/pts" \
        || ! overlay /dev dev \
        || ! mount --rbind "$work/pts" /dev/pts \
        || ! mount -t tmpfs tmpfs /run \
        || ! overlay /usr/local usr-local; then
        skip "no private /dev, /run and /usr/local (unshare -m, overlay, tmpfs)"
    fi
    # Only these rules: every folder that udev reads starts empty.
    for dir in /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d \
        /usr/local/lib/udev/rules.d "$rules_dir"; do
        if [ -d "$dir" ]; then
            mount -t tmpfs tmpfs "$dir" || exit 1
        fi
    done
    failures=0
    fail() {
        echo "FAIL: $*"
        failures=$((failures + 1))
    }

    # A root install where udev does not run (a chroot, a container).
    if ! "$cmake" --install "$build" --prefix /usr/local >"$work/log" 2>&1; then
        cat "$work/log"
        fail "the install failed"
    fi
    rules=$rules_dir/65-volscan-ebs.rules
    [ -f "$rules" ] || fail "no rules in $rules_dir"
    grep -qx 'volscan: udev is not running here; it names the EBS volumes when it starts' \
        "$work/log" || fail "the install does not say that udev is not running"
    # shellcheck disable=SC2016 # the text holds a literal $
    grep -q 'PROGRAM!="/usr/local/bin/volscan-id -v -b $devnode"' "$rules" \
        || fail "the rules do not run the installed volscan-id"

    # Where udev runs, the install has it read the rules and name the volumes.
    mkdir -p /run/udev || exit 1
    python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' \
        /run/udev/control || exit 1
    refresh="udevadm control --reload
udevadm trigger --action=change --subsystem-match=block --sysname-match=nvme*
udevadm settle --timeout=30"
    PATH="$work/stub:$PATH" "$cmake" --install "$build" --prefix /usr/local >"$work/log" 2>&1 \
        || fail "the second install failed"
    [ "$(cat "$work/udevadm-calls" 2>/dev/null)" = "$refresh" ] \
        || fail "the install did not refresh udev: $(cat "$work/udevadm-calls" 2>/dev/null)"

    # The installed rules, read by udev where they are, with the stand-in.
    rm -f /usr/local/bin/volscan-id && cp "$work/volscan-id" /usr/local/bin/volscan-id || exit 1
    umockdev-run -d "$work/disks.umockdev" -- sh "$work/run.sh" --cases "$work" \
        || failures=$((failures + 1))

    # make uninstall takes every file away, and then has udev drop the names.
    rm -f "$work/udevadm-calls"
    if ! PATH="$work/stub:$PATH" "$cmake" --build "$build" --target uninstall >"$work/log" 2>&1; then
        cat "$work/log"
        fail "make uninstall failed"
    fi
    while read -r file; do
        if [ -e "$file" ] || [ -L "$file" ]; then
            fail "make uninstall left $file"
        fi
    done <"$build/install_manifest.txt"
    [ "$(cat "$work/udevadm-calls" 2>/dev/null)" = "$refresh" ] \
        || fail "make uninstall did not refresh udev"
    if [ $failures -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
fi

# Each case: action, kernel name, what volscan-id answers ("fails", or
# "VOLUME|NAME": the volume ID and the block-device name it reads), the links
# under /dev/ebs, the calls of volscan-id. A partition takes its disk's names.
failures=0
run_case() {
    action=$1 kernel=$2 answer=$3 want_links=$4 want_calls=$5
    : >"$work/calls"
    rm -f "$work/answer"
    if [ "$answer" != fails ]; then
        # As the real one prints -v -b: an empty line for an empty value.
        printf 'Volume ID: %s\n%s\n' "${answer%%|*}" "${answer#*|}" >"$work/answer"
    fi
    udevadm test --action="$action" "/sys/class/block/$kernel" >"$work/out" 2>&1
    if grep '^/[^ ]*/65-volscan-ebs.rules:' "$work/out"; then
        echo "FAIL: udev complains about the rules (above)"
        failures=$((failures + 1))
    fi
    links=$(sed -n 's/^DEVLINKS=//p' "$work/out" | tr ' ' '\n' | grep '^/dev/ebs/' | sort | tr '\n' ' ')
    links=${links% }
    calls=$(tr '\n' ';' <"$work/calls")
    calls=${calls%;}
    if [ "$action" = remove ]; then
        links=$want_links # udev itself drops the links of a removed device
    fi
    if [ "$links" != "$want_links" ] || [ "$calls" != "$want_calls" ]; then
        echo "FAIL: $action $kernel, volscan-id answering '$answer'"
        echo "  links: want '$want_links'"
        echo "          got '$links'"
        echo "  calls: want '$want_calls'"
        echo "          got '$calls'"
        failures=$((failures + 1))
    fi
}

v0=vol-0123456789abcdef0
v1=vol-0aaaaaaaaaaaaaaa1
v3=vol-0bbbbbbbbbbbbbbb3
v4=vol-0ccccccccccccccc4
name=/dev/ebs/by-name
id=/dev/ebs/by-volume-id
run_case add nvme0n1 "$v0|sdf" "$name/sdf $id/$v0" "-v -b /dev/nvme0n1"
run_case add nvme0n1p1 fails "$name/sdf1 $id/$v0-part1" ""
run_case add nvme0n1p2 fails "$name/sdf2 $id/$v0-part2" ""
run_case change nvme0n1 "$v0|sdf" "$name/sdf $id/$v0" "-v -b /dev/nvme0n1"
run_case add nvme1n1 "$v1|sda1" "$name/sda1 $id/$v1" "-v -b /dev/nvme1n1"
run_case add nvme1n1p2 fails "$name/sda1p2 $id/$v1-part2" ""
run_case add nvme2n1 "$v4|sdg" "" ""
run_case add nvme3n1 "$v3|xvdg" "$name/xvdg $id/$v3" "-v -b /dev/nvme3n1"
run_case add nvme3c3n1 "$v3|xvdg" "" ""
run_case add nvme5n1 fails "" "-v -b /dev/nvme5n1"
run_case add vda "$v4|sdg" "" ""
run_case remove nvme0n1 "$v0|sdf" "" ""
# What the volume reports, and the links it gets: only plain file names, and
# none where a space leaves it open which of the two values holds it.
for c in "$v4||$id/$v4" "|sdg|$name/sdg" "||" "$v4|../../etc|$id/$v4" "$v4|..|$id/$v4" \
    ".|sdg|$name/sdg" "$v4|sdg x|" "$v4 x|sdg|" "$v4|sdg x y|"; do
    run_case add nvme4n1 "${c%|*}" "${c##*|}" "-v -b /dev/nvme4n1"
done

if [ $failures -ne 0 ]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all cases passed"

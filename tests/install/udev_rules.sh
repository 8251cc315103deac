#!/bin/sh
# Runs the udev rules that name EBS volumes through the real udev rule engine
# (udevadm test) against the emulated disks of nvme-disks.umockdev, with a
# stand-in volscan-id whose answers are those of the real one on the test
# bed's volume. It runs in a mount namespace of its own, where /run is new
# and /dev an overlay, so that nothing udevadm writes reaches the machine.
#
#   udev_rules.sh RULES_TEMPLATE FIXTURE
#
# Exit status 77 (skipped) when udevadm, umockdev-run or a mount namespace
# is not to be had.
set -u

if [ "${1-}" = --inside ]; then
    mode=inside
    work=$2
elif [ "${1-}" = --cases ]; then
    mode=cases
    work=$2
else
    mode=outside
    template=$1
    fixture=$2
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
    for tool in udevadm umockdev-run unshare; do
        command -v $tool >/dev/null || skip "no $tool (Debian packages udev, umockdev)"
    done
    work=$(mktemp -d /tmp/volscan-udev.XXXXXX) || exit 1
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/bin" "$work/empty"

    # Answers as the real volscan-id gives them; every call is logged.
    cat >"$work/bin/volscan-id" <<EOF
#!/bin/sh
echo "\$*" >>"$work/calls"
case "\$*" in
"-b /dev/nvme0n1") echo sdf ;;
"-v /dev/nvme0n1") echo "Volume ID: vol-0123456789abcdef0" ;;
"-b /dev/nvme1n1") echo sda1 ;;
"-v /dev/nvme1n1") echo "Volume ID: vol-0aaaaaaaaaaaaaaa1" ;;
"-b /dev/nvme3n1") echo xvdg ;;
"-v /dev/nvme3n1") echo "Volume ID: vol-0bbbbbbbbbbbbbbb3" ;;
"-b /dev/nvme4n1") echo "../../etc x" ;;
"-v /dev/nvme4n1") echo "Volume ID: vol-0ccccccccccccccc4" ;;
*) echo "volscan-id: Not an EBS device: \${2#/dev/}" >&2; exit 1 ;;
esac
EOF
    chmod +x "$work/bin/volscan-id"
    if grep -v '@CMAKE_INSTALL_FULL_BINDIR@' "$template" | grep -q '@[A-Za-z_]*@'; then
        echo "FAIL: $template has a placeholder that the install does not fill"
        exit 1
    fi
    sed "s|@CMAKE_INSTALL_FULL_BINDIR@|$work/bin|g" "$template" >"$work/65-volscan-ebs.rules"
    grep -v '^#' "$fixture" | sed '1{/^$/d;}' >"$work/disks.umockdev"
    cp "$0" "$work/run.sh"

    unshare -m sh "$work/run.sh" --inside "$work"
    exit $?
fi

if [ $mode = inside ]; then
    # Only these rules, and a /run and /dev whose changes stay here.
    mkdir -p "$work/pts" "$work/upper" "$work/overlay-work" || exit 1
    if ! mount --rbind /dev/pts "$work/pts" \
        || ! mount -t overlay overlay \
            -o "lowerdir=/dev,upperdir=$work/upper,workdir=$work/overlay-work" /dev \
        || ! mount --rbind "$work/pts" /dev/pts \
        || ! mount -t tmpfs tmpfs /run; then
        skip "no private /dev and /run (unshare -m, overlay, tmpfs)"
    fi
    for rules in /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d \
        /usr/local/lib/udev/rules.d; do
        if [ -d $rules ]; then
            mount --bind "$work/empty" $rules || exit 1
        fi
    done
    mkdir -p /run/udev/rules.d && cp "$work/65-volscan-ebs.rules" /run/udev/rules.d/ || exit 1
    umockdev-run -d "$work/disks.umockdev" -- sh "$work/run.sh" --cases "$work"
    exit $?
fi

# Each case: action, kernel name, the links under /dev/ebs, the calls of
# volscan-id. A partition follows its disk, whose names it takes.
failures=0
run_case() {
    action=$1 kernel=$2 want_links=$3 want_calls=$4
    : >"$work/calls"
    udevadm test --action="$action" "/sys/class/block/$kernel" >"$work/out" 2>&1
    if grep '^/run/udev/rules.d/65-volscan-ebs.rules' "$work/out"; then
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
        echo "FAIL: $action $kernel"
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
run_case add nvme0n1 "/dev/ebs/by-name/sdf /dev/ebs/by-volume-id/$v0" \
    "-b /dev/nvme0n1;-v /dev/nvme0n1"
run_case add nvme0n1p1 "/dev/ebs/by-name/sdf1 /dev/ebs/by-volume-id/$v0-part1" ""
run_case add nvme0n1p2 "/dev/ebs/by-name/sdf2 /dev/ebs/by-volume-id/$v0-part2" ""
run_case change nvme0n1 "/dev/ebs/by-name/sdf /dev/ebs/by-volume-id/$v0" \
    "-b /dev/nvme0n1;-v /dev/nvme0n1"
run_case add nvme1n1 "/dev/ebs/by-name/sda1 /dev/ebs/by-volume-id/$v1" \
    "-b /dev/nvme1n1;-v /dev/nvme1n1"
run_case add nvme1n1p2 "/dev/ebs/by-name/sda1p2 /dev/ebs/by-volume-id/$v1-part2" ""
run_case add nvme2n1 "" ""
run_case add nvme3n1 "/dev/ebs/by-name/xvdg /dev/ebs/by-volume-id/$v3" \
    "-b /dev/nvme3n1;-v /dev/nvme3n1"
run_case add nvme3c3n1 "" ""
run_case add nvme4n1 "/dev/ebs/by-volume-id/$v4" "-b /dev/nvme4n1;-v /dev/nvme4n1"
run_case add nvme5n1 "" "-b /dev/nvme5n1;-v /dev/nvme5n1"
run_case add vda "" ""
run_case remove nvme0n1 "" ""

if [ $failures -ne 0 ]; then
    echo "$failures case(s) failed"
    exit 1
fi
echo "all cases passed"

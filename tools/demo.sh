#!/bin/sh
# SPDX-License-Identifier: BSD-2-Clause
# Shows volscan at work on the test bed's demo machine, an emulated database
# server: four EBS volumes, one of them throttled, and an instance-storage
# disk (tests/bed/demo_machine.h). No device of this machine is touched.
#
#   tools/demo.sh [-e] [-s] BUILD_DIR
#
# First it sets up: the Debian packages (tools/install-deps.sh demo, and the
# exporter's libraries where it may install them), then configures and builds
# volscan, the bed and, where its libraries are there, volscan-exporter, all
# quietly, into BUILD_DIR/demo-build.log. -s skips that: BUILD_DIR is built.
# Then volscan top, id and stats, and one scrape of the exporter.
# -e instead leaves the exporter serving the demo machine until Ctrl+C.
set -u
exporter_only=""
set_up=1
while getopts es option; do
    case "$option" in
        e) exporter_only=1 ;;
        s) set_up="" ;;
        *) echo "usage: tools/demo.sh [-e] [-s] BUILD_DIR" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
build=${1:-build-demo}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
log="$build/demo-build.log"
bed="$build/tests/bed/volscan-bed"
exporter="$build/src/exporter/volscan-exporter"
exporter_packages="libmicrohttpd-dev libgnutls28-dev libyaml-dev zlib1g-dev libcrypt-dev libseccomp-dev curl"

failed() {
    echo "demo: $1; the last lines of $log:" >&2
    tail -n 15 "$log" >&2
    exit 1
}

if [ -n "$set_up" ]; then
    mkdir -p "$build"
    : >"$log"
    echo "Setting up and building volscan, quietly (log: $log) ..."
    if ! sh "$source_dir/tools/install-deps.sh" demo >>"$log" 2>&1; then
        echo "demo: packages are missing; as root, run:" >&2
        grep '^  apt-get install' "$log" >&2
        exit 1
    fi
    # The exporter's libraries are welcome, not needed: without them the CLI alone.
    sh "$source_dir/tools/install-deps.sh" demo-exporter >>"$log" 2>&1
    cmake -S "$source_dir" -B "$build" -DVOLSCAN_TESTS=ON -DVOLSCAN_TEST_PARTS=bed >>"$log" 2>&1 \
        || failed "configuring failed"
    targets="volscan volscan-bed bedshim"
    grep -q '^-- volscan-exporter: libmicrohttpd' "$log" && targets="$targets volscan-exporter"
    # shellcheck disable=SC2086
    cmake --build "$build" -j "${JOBS:-2}" --target $targets >>"$log" 2>&1 || failed "the build failed"
fi
[ -x "$bed" ] || { echo "demo: no test bed in $build (run make demo)" >&2; exit 1; }
[ -x "$exporter" ] || exporter=""
curl=$(command -v curl)

# The exporter runs as root's user nobody, as a service runs as its own.
user_option=""
[ "$(id -u)" -eq 0 ] && user_option="--web.user=nobody"
port=${DEMO_PORT:-19720}

missing_exporter() {
    echo "volscan-exporter was not built: its libraries are missing. As root:"
    echo "  apt-get install -y $exporter_packages"
    echo "then make demo again."
    grep '^-- volscan-exporter will not be built' "$log" 2>/dev/null | sed 's/^-- /  (cmake: /; s/$/)/'
}

if [ -n "$exporter_only" ]; then
    [ -n "$exporter" ] || { missing_exporter; exit 1; }
    echo "volscan-exporter on the demo machine (4 EBS volumes, nvme1n1 throttled, 1 instance-storage disk):"
    echo "  open http://127.0.0.1:$port/metrics ; Ctrl+C stops it."
    echo "  A Prometheus on this machine scrapes it with: targets: ['127.0.0.1:$port']"
    # shellcheck disable=SC2086
    exec "$bed" -m demo "$exporter" --web.listen-address="127.0.0.1:$port" $user_option
fi

# On a terminal, top redraws in place at the terminal's width, as a person
# sees it; into a pipe or a file it prints every column, a block a refresh.
# Either way on the bed's clock: its figures are exact, and the same each run.
if [ -t 1 ]; then paced=-p; else paced=""; fi
echo "\$ volscan top -n 3"
# shellcheck disable=SC2086
"$bed" -m demo -q $paced volscan top -n 3
cat <<EOF

That is volscan top on "demo", an emulated database server (no device of this
machine is touched): four EBS volumes and an instance-storage disk (not shown:
it has no statistics). nvme1n1, the database, is throttled: 40 % of each second
over its provisioned IOPS, its p99 reads at 11 ms. The others are not limited.

EOF
echo "\$ volscan id nvme1"
"$bed" -m demo -q volscan id nvme1
echo
echo "\$ volscan stats nvme1 | head -n 16        # then the latency histograms"
"$bed" -m demo -q volscan stats nvme1 | head -n 16

echo
if [ -z "$exporter" ]; then
    missing_exporter
else
    errors=$(mktemp)
    page=$(mktemp)
fi
if [ -n "$exporter" ] && [ -z "$curl" ]; then
    # No curl to scrape it with: the same page, written once into a file.
    echo "\$ volscan-exporter --textfile.output=ebs.prom      # (curl is missing: a file, not HTTP)"
    "$bed" -m demo "$exporter" --textfile.output="$page.prom" 2>"$errors"
    mv "$page.prom" "$page"
    shown="\$ cat ebs.prom"
elif [ -n "$exporter" ]; then
    echo "\$ volscan-exporter --web.listen-address=127.0.0.1:$port &    # on the same machine"
    shown="\$ curl -s http://127.0.0.1:$port/metrics"
    # One bed for the exporter and its scrape: it serves while curl asks.
    # shellcheck disable=SC2016
    "$bed" -m demo sh -c '
        "$1" --web.listen-address="127.0.0.1:$2" $4 2>"$3" &
        exporter=$!
        tries=0
        while [ $tries -lt 50 ] && ! curl -sf -m 2 -o "$5" "http://127.0.0.1:$2/metrics"; do
            sleep 0.1; tries=$((tries + 1))
        done
        kill -TERM $exporter; wait $exporter' demo "$exporter" "$port" "$errors" "$user_option" "$page"
fi
if [ -n "$exporter" ]; then
    cat "$errors"
    pattern='^ebs_(volume_info|read_ops_total|volume_performance_exceeded_iops_seconds_total)\{.*nvme1n1|^ebs_volumes|^ebs_instance_storage_disks'
    echo "$shown        # a few of its $(wc -l <"$page") lines"
    grep -E "$pattern" "$page"
    echo "Its families: $(grep '^# TYPE' "$page" | cut -d' ' -f3 | tr '\n' ' ')" | fold -s -w 78 | sed 's/ *$//'
    rm -f "$errors" "$page"
fi

cat <<EOF

What next
  On an EC2 machine (Nitro-based, with EBS volumes), after make && sudo make install:
    sudo volscan top                  every volume, every second; q quits
    sudo volscan id nvme1             the volume behind a device
    sudo volscan stats -i 5 nvme1     its statistics every 5 seconds
    sudo volscan-exporter             its metrics on http://HOST:9720/metrics
  make demo-exporter                  the exporter on the demo machine, left running
  docs/kubernetes.md                  the exporter on every node of a cluster
  man/volscan.8, man/volscan-exporter.8, README.md
EOF
[ -n "$set_up" ] && echo "  (the build's log: $log)"
exit 0

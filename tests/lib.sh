# SPDX-License-Identifier: BSD-2-Clause
# What the shell tests share, read with ". tests/lib.sh" (by its path from
# the test's own folder), never run:
#   fail MESSAGE          the test fails here: "FAIL: MESSAGE", status 1
#   note_failure MESSAGE  the same line, but the test goes on; it counts in
#                         $failures, and the test ends with
#   finish                status 1 when anything was noted, 0 otherwise
#   skip MESSAGE          the test cannot run here: "SKIPPED: MESSAGE",
#                         status 77, which ctest takes for a skip
# A test that runs several cases names the one at hand in $fail_context:
# "FAIL (context): MESSAGE".

failures=0
fail_context=

failure_line()
{
    if [ -n "$fail_context" ]; then
        echo "FAIL ($fail_context): $*"
    else
        echo "FAIL: $*"
    fi
}

fail()
{
    failure_line "$@"
    exit 1
}

note_failure()
{
    failure_line "$@"
    failures=$((failures + 1))
}

finish()
{
    [ "$failures" -eq 0 ] || exit 1
    exit 0
}

skip()
{
    echo "SKIPPED: $*"
    exit 77
}

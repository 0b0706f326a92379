#!/usr/bin/env bash
# tools/test.sh's totals: JUnit reports as CTest writes them (attributes one
# a line), several at once, with failures and skipped tests; GoogleTest
# summaries in a log, single and plural, passed and failed.
#   test_totals.sh SOURCE_DIR
set -uo pipefail
. "$1/tools/test-totals.sh"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
status=0
expect() {  # WHAT EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        echo "FAILED: $1: expected '$2', got '$3'"
        status=1
    fi
}

cat > "$dir/a.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="(empty)"
	tests="7"
	failures="2"
	disabled="0"
	skipped="1"
	hostname=""
	time="0"
	timestamp="2026-12-08T11:11:44"
	>
	<testcase name="Suite.tests" classname="Suite.tests" time="0.1" status="run">
		<system-out>[  PASSED  ] 5 tests.
 1 FAILED TEST</system-out>
	</testcase>
</testsuite>
XML
cat > "$dir/b.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="(empty)" tests="3" failures="0" disabled="1" skipped="0" hostname="" time="0">
	<testcase name="x" classname="x" time="0" status="run"/>
</testsuite>
XML
expect "one report" "4 2" "$(junit_counts "$dir/a.xml")"
expect "two reports" "6 2" "$(junit_counts "$dir/a.xml" "$dir/b.xml")"

cat > "$dir/vm.log" <<'LOG'
[==========] 12 tests from 3 test suites ran. (40 ms total)
[  PASSED  ] 11 tests.
[  FAILED  ] 1 test, listed below:
 1 FAILED TEST
[  PASSED  ] 1 test.
100% tests passed, 0 tests failed out of 9
LOG
expect "GoogleTest summaries" "12 1" "$(gtest_counts "$dir/vm.log")"
: > "$dir/empty.log"
expect "no summaries" "0 0" "$(gtest_counts "$dir/empty.log")"

[ $status -eq 0 ] && echo "totals: all checks passed"
exit $status

# Sourced by tools/test.sh: the tests a part reported, as "passed failed".

# From CTest's JUnit reports: the attributes of their <testsuite> element.
junit_counts() {
    sed -n '/<testsuite/,/>/p' "$@" | grep -o -E '\b(tests|failures|disabled|skipped)="[0-9]+"' \
        | awk -F'"' '{n[$1] += $2}
                     END {print n["tests="] - n["failures="] - n["disabled="] - n["skipped="], n["failures="] + 0}'
}

# From GoogleTest's summary lines in a log.
gtest_counts() {
    { grep -a -o -E '^\[  PASSED  \] [0-9]+ tests?\.' "$1" | awk '{print $4, 0}'
      grep -a -o -E '^ ?[0-9]+ FAILED TESTS?' "$1" | awk '{print 0, $1}'
    } | awk '{p += $1; f += $2} END {print p + 0, f + 0}'
}

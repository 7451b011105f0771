#!/bin/sh
# Runs one bats test for CTest: BATS FILE NAME-PATTERN TAP-FILE. bats' TAP
# lines are kept in TAP-FILE too, for the report of skipped tests.
mkdir -p "$(dirname "$4")" || exit 1
"$1" --tap -f "$3" "$2" >"$4"
status=$?
cat "$4"
exit "$status"

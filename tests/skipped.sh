#!/bin/sh
# Run by CTest after the tests, with the folder of their TAP files: says how
# many tests were skipped and why, from bats' lines "ok 1 NAME # skip REASON".
# With KESTRUNE_NO_SKIPS set, as CI sets it on a machine that has every
# premise, a skipped test fails the run.
skips=$(cd "$1" 2>/dev/null && ls | sort -n | while read -r tap; do cat "$tap"; done |
  sed -n 's/^ok 1 \(.*\) # skip \{0,1\}/  \1: /p')
[ -z "$skips" ] && exit 0
echo "Skipped for want of what they need: $(printf '%s\n' "$skips" | wc -l)"
printf '%s\n' "$skips"
[ -z "${KESTRUNE_NO_SKIPS:-}" ]

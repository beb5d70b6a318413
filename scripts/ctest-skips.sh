#!/usr/bin/env bash
# Lists the skipped tests of a CTest run from its JUnit file (ctest
# --output-junit), one line each: "LABEL: TEST: REASON". The reason is the
# GoogleTest GTEST_SKIP message (the line after "Skipped"), else a line of
# the test's output that starts with "skipped:" or "SKIP", else its last line.
# Usage: scripts/ctest-skips.sh LABEL JUNIT.xml
set -euo pipefail
label=${1:?usage: $0 LABEL JUNIT.xml}
xml=${2:?usage: $0 LABEL JUNIT.xml}
[ -f "$xml" ] || exit 0
awk -v label="$label" '
  function unxml(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s); gsub(/&apos;/, "\047", s)
    gsub(/&amp;/, "\\&", s); return s
  }
  function report() {
    if (!skipped) return
    why = gtest != "" ? gtest : (marked != "" ? marked : last)
    if (why == "") why = "(the test gave no reason)"
    print label ": " name ": " why
  }
  /<testcase / {
    name = $0; sub(/.*<testcase name="/, "", name); sub(/".*/, "", name); name = unxml(name)
    skipped = ($0 ~ /status="notrun"/); inout = 0; gtest = ""; marked = ""; last = ""; next_is_reason = 0
  }
  /<system-out>/ { inout = 1; sub(/.*<system-out>/, "") }
  inout {
    line = $0; done = sub(/<\/system-out>.*/, "", line); line = unxml(line)
    gsub(/^[ \t]+|[ \t]+$/, "", line)
    if (next_is_reason && line != "" && gtest == "") { gtest = line; next_is_reason = 0 }
    if (line ~ /: Skipped$/) next_is_reason = 1
    if (marked == "" && line ~ /^(skipped:|SKIP)/) marked = line
    if (line != "" && line !~ /^\[  SKIPPED \]/) last = line
    if (done) inout = 0
  }
  /<\/testcase>/ { report(); skipped = 0 }
' "$xml"

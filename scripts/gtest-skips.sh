#!/usr/bin/env bash
# Lists the skipped tests of a GoogleTest run from its XML report
# (--gtest_output=xml:FILE), one line each: "LABEL: Suite.Test: REASON", the
# reason being the GTEST_SKIP message without its file:line. For the runs
# made outside CTest (the valgrind stage), whose skips the summary must list
# as it lists CTest's (scripts/ctest-skips.sh).
# Usage: scripts/gtest-skips.sh LABEL REPORT.xml
set -euo pipefail
label=${1:?usage: $0 LABEL REPORT.xml}
xml=${2:?usage: $0 LABEL REPORT.xml}
[ -f "$xml" ] || exit 0
awk -v label="$label" '
  function attr(s, name,   v) {
    v = s; if (!sub(".*[ \t]" name "=\"", "", v)) return ""; sub(/".*/, "", v); return v
  }
  function unxml(s) {
    gsub(/&#x0A;/, "\n", s); gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
    gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s); return s
  }
  /<testcase / { name = attr($0, "classname") "." attr($0, "name") }
  /<skipped / {
    why = unxml(attr($0, "message"))
    # The first line is the file and line; a reason of several lines is
    # joined into one.
    n = split(why, part, "\n"); why = ""
    for (i = 2; i <= n; i++) if (part[i] != "") why = why (why == "" ? "" : " ") part[i]
    print label ": " name ": " (why == "" ? "(the test gave no reason)" : why)
  }
' "$xml"

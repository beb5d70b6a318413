#!/usr/bin/env bash
# scripts/ctest-skips.sh on a JUnit file as CTest 3.25 writes it: a
# GoogleTest skip (the reason on the line after "Skipped", with an XML escape),
# a skip by return code (a "skipped:" line), a test that ran; exactly the two
# skips, each with its reason. Then scripts/gtest-skips.sh on GoogleTest's own
# XML report: a reason of two lines is kept whole, on one line.
set -euo pipefail
xml=$(mktemp "${TMPDIR:-/tmp}/velk-junit.XXXXXX")
trap 'rm -f "$xml"' EXIT
cat >"$xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="(empty)" tests="3" failures="0" disabled="0" skipped="2">
	<testcase name="Net.Ser2net" classname="Net.Ser2net" time="0.01" status="notrun">
		<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
		<system-out>Running main() from gtest_main.cc
net_test.cpp:128: Skipped
needs socat &amp; ser2net (Debian packages socat, ser2net)

[  SKIPPED ] Net.Ser2net (0 ms)
[----------] 1 test from Net (0 ms total)
[==========] 1 test from 1 test suite ran. (0 ms total)
[  PASSED  ] 0 tests.
</system-out>
	</testcase>
	<testcase name="conformance_i686" classname="conformance_i686" time="0.01" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out>skipped: this machine runs no 32-bit programs
</system-out>
	</testcase>
	<testcase name="c_api" classname="c_api" time="0.01" status="run">
		<system-out>skipped: not really
</system-out>
	</testcase>
</testsuite>
XML
got=$(bash "$(dirname "$0")/../scripts/ctest-skips.sh" unit "$xml")
want="unit: Net.Ser2net: needs socat & ser2net (Debian packages socat, ser2net)
unit: conformance_i686: skipped: this machine runs no 32-bit programs"
if [ "$got" != "$want" ]; then
  printf 'got:\n%s\nwant:\n%s\n' "$got" "$want" >&2
  exit 1
fi
cat >"$xml" <<'XML'
<testsuites>
  <testsuite name="Pty" tests="2">
    <testcase name="Drain" status="run" result="skipped" classname="Pty">
      <skipped message="/src/tty_drain_test.cpp:36&#x0A;no seccomp listener&#x0A;under Valgrind &amp; qemu"><![CDATA[]]></skipped>
    </testcase>
    <testcase name="Ran" status="run" result="completed" classname="Pty"/>
  </testsuite>
</testsuites>
XML
got=$(bash "$(dirname "$0")/../scripts/gtest-skips.sh" valgrind "$xml")
want="valgrind: Pty.Drain: no seccomp listener under Valgrind & qemu"
if [ "$got" != "$want" ]; then
  printf 'got:\n%s\nwant:\n%s\n' "$got" "$want" >&2
  exit 1
fi
echo "two skips, each with its reason; a reason of two lines whole"

#!/usr/bin/env bash
# Checks the reference that Doxygen made in a build folder (the docs target,
# cmake/docs.cmake): no Doxygen warning; a man page of its own for every
# exported function, reached by its name, whose NAME line names it and whose
# entry documents its arguments and results; a man page (an alias of its
# group's) for every constant of the headers; every page renders without a
# troff warning; the overview velk32(3) and the HTML index list every
# function. Prints what it checked; exits 1 at the first missing piece.
# Usage: scripts/check-docs.sh BUILD_DIR
set -euo pipefail
# Checks read captured text with here-strings: under pipefail, `echo | grep -q`
# fails at random when grep stops reading early (echo gets SIGPIPE).
cd "$(dirname "$0")/.."
build=${1:?usage: $0 BUILD_DIR}
docs=$build/docs
man3=$docs/man3
fail() { echo "docs: $*" >&2; exit 1; }

[ -f "$docs/warnings.log" ] || fail "no $docs/warnings.log: build the docs target first"
warnings=$(grep -c . "$docs/warnings.log" || true)
echo "doxygen warnings: $warnings"
if [ "$warnings" != 0 ]; then
  cat "$docs/warnings.log" >&2
  fail "Doxygen warned"
fi

# The page a name reaches, as man would: an alias is a link to its group's page.
render() { MANWIDTH=80 man --warnings -l "$1" 2>"$docs/troff.err"; }

functions=$(cat tests/exports.txt tests/exports_posix.txt)
n=0
for f in $functions; do
  page=$man3/$f.3.gz
  [ -f "$page" ] && [ ! -L "$page" ] || fail "$f: no man page of its own ($page)"
  text=$(render "$page")
  [ ! -s "$docs/troff.err" ] || fail "$f: troff warns: $(cat "$docs/troff.err")"
  grep -A1 '^NAME' <<<"$text" | grep -qE "^ +$f - [a-z]" || fail "$f: NAME line does not name it"
  grep -qE "^ +int $f \(" <<<"$text" || fail "$f: no entry for the function"
  # An entry with arguments lists them; every entry lists its results.
  if grep -qE "int VELK_CALL $f\((void)?\)" include/velk32.h include/velk32_posix.h; then :; else
    grep -q 'Parameters' <<<"$text" || fail "$f: arguments not documented"
  fi
  grep -qE 'Returns|Return values' <<<"$text" || fail "$f: results not documented"
  [ -f "$docs/html/group__$(echo "$f" | sed 's/_/__/g').html" ] || fail "$f: no HTML page"
  n=$((n + 1))
done
echo "functions with a man page and an HTML page: $n"

c=0
for name in $(sed -n 's/^#define \(SIO_[A-Z0-9_]*\) .*/\1/p' include/velk32.h include/velk32_posix.h); do
  page=$man3/$name.3.gz
  [ -e "$page" ] || fail "$name: no man page"
  text=$(render "$page")
  grep -q "$name" <<<"$text" || fail "$name: its page does not document it"
  c=$((c + 1))
done
echo "constants with a man page: $c"

for page in "$man3"/*.3.gz; do
  render "$page" >/dev/null
  [ ! -s "$docs/troff.err" ] || fail "$(basename "$page"): troff warns: $(cat "$docs/troff.err")"
done
echo "pages rendered without a troff warning: $(ls "$man3" | wc -l)"

overview=$(render "$man3/velk32.3.gz")
for f in $functions; do
  grep -q "$f(3)" <<<"$overview" || fail "velk32(3) does not list $f"
  grep -q "$f(3)" "$docs/html/velk32.html" || fail "the HTML overview does not list $f"
done
grep -q 'href="velk32.html"' "$docs/html/index.html" || fail "the HTML index does not link the overview"
echo "velk32(3) and the HTML overview list all $n functions"
rm -f "$docs/troff.err"

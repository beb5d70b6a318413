# shellcheck shell=bash
# Sourced by the test scripts: packages that only a part of a stage needs.
# A package that cannot be installed (a mirror's fault, an architecture apt
# does not know) skips that part, with apt's reason; it never fails the run.
#
#   want PACKAGE...     installs what it can (scripts/deps.sh --optional);
#                       each package that cannot be had is kept with the reason
#   lacking PACKAGE...  prints "PKG cannot be installed: REASON" for the first
#                       of them that could not be had; status 1 when none
declare -A unavailable=()
want() {
  local out line
  out=$(mktemp "${TMPDIR:-/tmp}/velk-deps.XXXXXX")
  bash "$(dirname "${BASH_SOURCE[0]}")/deps.sh" --optional "$@" | tee "$out"
  while IFS= read -r line; do
    line=${line#unavailable: }
    unavailable[${line%%: *}]=${line#*: }
  done < <(grep '^unavailable: ' "$out" || true)
  rm -f "$out"
}
lacking() {
  local p
  for p in "$@"; do
    if [ -n "${unavailable[$p]:-}" ]; then
      echo "$p cannot be installed: ${unavailable[$p]}"
      return 0
    fi
  done
  return 1
}

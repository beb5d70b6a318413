#!/usr/bin/env bash
# The closing summary of the test command (scripts/test-all.sh): every
# skipped test and every part of a stage that did not run, each with its
# reason, then the count of stages. A stage with a part not run is counted
# apart, never as passed.
# Usage: scripts/summary.sh DIR FAILED_STAGE [STAGE...]
#   DIR: holds skips.txt and not-run.txt, lines "stage: what: reason"
#   FAILED_STAGE: the stage that failed, or "" when none did
#   STAGE...: the stages that ran to their end
set -euo pipefail
dir=${1:?usage: $0 DIR FAILED_STAGE [STAGE...]}
failed=${2?usage: $0 DIR FAILED_STAGE [STAGE...]}
shift 2
for what in "skipped tests:skips.txt" "not run:not-run.txt"; do
  list=$(sort -u "$dir/${what#*:}" 2>/dev/null || true)
  if [ -n "$list" ]; then
    echo "${what%%:*} ($(wc -l <<<"$list")), with the reason:"
    sed 's/^/  /' <<<"$list"
  else
    echo "${what%%:*}: none"
  fi
done
full=() part=()
for s in "$@"; do
  if grep -q "^$s: " "$dir/not-run.txt" 2>/dev/null; then part+=("$s"); else full+=("$s"); fi
done
line="stages: ${#full[@]} passed"
[ ${#part[@]} -eq 0 ] || line+=", ${#part[@]} passed with parts not run (${part[*]})"
if [ -z "$failed" ]; then
  echo "$line, 0 failed"
else
  echo "$line, 1 failed ($failed)"
fi

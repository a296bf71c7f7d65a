#!/bin/sh
# Runs each fuzz target for SECONDS seconds, one after another, from its seeds
# in tests/fuzz/corpus/NAME/ (never written) and a working corpus in
# BUILD/fuzz/corpus/NAME/ that grows across runs. Prints the executions and
# findings of each; a finding leaves its input in BUILD/fuzz/findings/ and the
# status is 1. Every run is appended to BUILD/fuzz/history.log, whose totals
# per target close the output.
# Usage: run_fuzz.sh BUILD SECONDS [NAME...]
set -u
build=$1
seconds=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
names=${*:-parsers}
mkdir -p "$build/fuzz/findings" "$build/fuzz/logs"
status=0
# The targets' instrument roots: in memory when the machine has /dev/shm.
QUIB_FUZZ_DIR=$(mktemp -d /dev/shm/quibfuzz.XXXXXX 2>/dev/null || mktemp -d)
export QUIB_FUZZ_DIR
trap 'rm -rf "$QUIB_FUZZ_DIR"' EXIT INT TERM
for name in $names; do
  work="$build/fuzz/corpus/$name"
  log="$build/fuzz/logs/$name.log"
  mkdir -p "$work"
  start=$(date +%s)
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/fuzz/findings/$name-" \
    "$work" "$here/corpus/$name" >"$log" 2>&1
  rc=$?
  took=$(( $(date +%s) - start ))
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  findings=0
  if [ "$rc" -ne 0 ]; then
    findings=1
    status=1
  fi
  line="fuzz_$name: ${execs:-0} executions in ${took} s, findings: $findings"
  echo "$line"
  echo "$(date -u +%FT%TZ) $line" >> "$build/fuzz/history.log"
  [ "$findings" -eq 0 ] || { echo "  see $log"; grep -m 3 -E 'ERROR|fuzz check failed|SUMMARY' "$log" | sed 's/^/  /'; }
done
# What each target has run so far in this build tree, over all runs.
awk '{ sub(":", "", $2); e[$2] += $3; s[$2] += $6; f[$2] += $9 }
     END { for (t in e) printf "total %s %d executions in %d s, findings: %d\n", t, e[t], s[t], f[t] }' \
  "$build/fuzz/history.log" | sort
exit $status

#!/bin/sh
# Runs each fuzzer for a few seconds from its seed corpus; fails when one finds a
# crash (the input is kept in the fuzz build folder).
# Usage: scripts/run-fuzzers.sh BUILD_DIR SECONDS
set -u
build=$1
seconds=$2
status=0
for fuzzer in config dnsbl dnsbl_cache lists message imap smtp wizard_stores linkscan; do
  scratch=$(mktemp -d)
  "./$build/${fuzzer}_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$build/" "$scratch" "fuzz/corpus/$fuzzer" >"$scratch/log" 2>&1
  result=$?
  echo "== ${fuzzer}_fuzz (exit $result)"
  grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|SUMMARY|artifact_prefix)' \
    "$scratch/log"
  if [ "$result" -ne 0 ]; then
    tail -n 40 "$scratch/log"
    status=1
  fi
  rm -rf "$scratch"
done
exit $status

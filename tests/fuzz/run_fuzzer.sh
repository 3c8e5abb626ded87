#!/usr/bin/env bash
# run_fuzzer.sh FUZZER SECONDS SEEDS WORK fresh|keep
# Runs one libFuzzer target for SECONDS with a fixed seed over the committed
# SEEDS, writing what it finds to WORK (emptied first with "fresh"), never into
# the committed corpus.
set -euo pipefail
fuzzer=$1 seconds=$2 seeds=$3 work=$4 mode=$5
[ "$mode" = fresh ] && rm -rf "$work"
mkdir -p "$work"
exec "$fuzzer" -seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work" "$seeds"

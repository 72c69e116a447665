#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# run-fuzzer.sh FUZZER WORK_CORPUS SEED_CORPUS FINDINGS SECONDS
# Runs one libFuzzer target for a bounded time over its seeds. New inputs go
# to WORK_CORPUS (not the committed seeds); a finding is saved in FINDINGS
# and fails the run.
set -euo pipefail
fuzzer=$1 corpus=$2 seeds=$3 findings=$4 seconds=$5
mkdir -p "$corpus" "$findings"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=3 \
  -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$seeds"

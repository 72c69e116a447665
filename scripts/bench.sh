#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the project and runs the benchmarks: the register-access benchmark,
# ten repetitions of each measure, with the medians and the plugin-to-floor
# ratios at the end; then hushlink-host summary on a 1,000,000-line log, five
# repetitions. Arguments go to the register-access benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
scripts/build.sh linux >/dev/null
build/bench/register_access_bench --benchmark_repetitions=10 \
  --benchmark_report_aggregates_only=true "$@"
build/bench/log_summary_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true

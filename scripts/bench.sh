#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the project and runs the register-access benchmark: ten repetitions
# of each measure, medians and the plugin-to-floor ratios at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh linux
scripts/build.sh linux >/dev/null
build/bench/register_access_bench --benchmark_repetitions=10 \
  --benchmark_report_aggregates_only=true "$@"

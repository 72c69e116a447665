#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the release archives into dist/: Hushlink-VERSION-win32.zip and
# -win64.zip (Hushlink.dll and the README), -linux-x86_64.tar.gz
# (libHushlink.so, hushlink-host and the README).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all
scripts/build.sh linux win32 win64 >/dev/null
mkdir -p dist
for dir in build build-win32 build-win64; do
  (cd "$dir" && cpack -B "$PWD/../dist" >/dev/null)
done
rm -rf dist/_CPack_Packages
ls -1 dist

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Exits 0 when this kernel runs 32-bit x86 programs (what 32-bit Wine needs),
# by running the smallest one there is: an i386 ELF that only exits.
set -u
probe=$(mktemp /tmp/hushlink-probe32-XXXXXX)
trap 'rm -f "$probe"' EXIT
printf '\177\105\114\106\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000\270\001\000\000\000\061\333\315\200' >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# run-i386.sh PROGRAM ARGS...
#
# Runs a 32-bit x86 Linux program: the linux32 build's
# CMAKE_CROSSCOMPILING_EMULATOR. Natively where the kernel runs 32-bit x86
# code itself; elsewhere under qemu-i386-static, with binfmt_misc handing it
# the program's own children too (the harness runs each check in a child of
# itself), as scripts/setup.sh registers it. Exits 77 (a skip, never a pass)
# saying why when neither can be had; under CI=true that is a failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

cannot() {
  if [[ ${CI:-} == true ]]; then
    echo "FAILED (i386): $*; CI must run the 32-bit programs (scripts/setup.sh sets that up)" >&2
    exit 1
  fi
  echo "SKIPPED (i386): $* (scripts/setup.sh sets that up as root)" >&2
  exit 77
}

# The probe tells the kernel from an emulator that binfmt_misc hands i386
# programs to: what runs directly is not always what the kernel runs.
if "$root/scripts/kernel-runs-32bit.sh"; then
  exec "$@"
fi

qemu=$(command -v qemu-i386-static) ||
  cannot "this kernel does not run 32-bit x86 programs and qemu-i386-static" \
         "(Debian qemu-user-static) is missing"

# An enabled binfmt_misc entry for qemu-i386, for the children.
registered=false
if [[ $(cat /proc/sys/fs/binfmt_misc/status 2>/dev/null) == enabled ]]; then
  for entry in /proc/sys/fs/binfmt_misc/*; do
    [[ $entry == */status || $entry == */register ]] && continue
    if grep -qx enabled "$entry" 2>/dev/null &&
       grep -q '^interpreter .*qemu-i386' "$entry" 2>/dev/null; then
      registered=true
      break
    fi
  done
fi
$registered ||
  cannot "this kernel does not run 32-bit x86 programs, and qemu-i386-static is not" \
         "registered in binfmt_misc, so the programs' children could not run"

exec "$qemu" "$@"

#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Exits 0 when this kernel itself runs 32-bit x86 programs (what 32-bit Wine
# needs), by running the smallest one that can tell: an i386 ELF that asks
# the kernel for its machine name (uname through int 0x80) and exits 0 only
# when it is "x86_64".
#
# Running at all is not enough. Where the kernel has 32-bit support switched
# off, a binfmt_misc entry may still hand i386 programs to an emulator such as
# qemu-i386, which runs this probe but not Wine. An x86-64 kernel tells its
# 32-bit programs that the machine is "x86_64"; qemu-i386 says "i686" (and a
# kernel without 32-bit support runs nothing). Under linux32 (a 32-bit
# personality) the kernel says "i686" too, and the probe answers no.
set -u
probe=$(mktemp /tmp/hushlink-probe32-XXXXXX)
trap 'rm -f "$probe"' EXIT
{
  # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054,
  # one program header at offset 0x34.
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
  printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
  printf '\x00\x00\x00\x00'
  # Program header: the whole file (0x98 bytes) loaded at 0x08048000, r-x.
  printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
  printf '\x98\x00\x00\x00\x98\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
  # Code, at 0x54:
  printf '\x81\xec\x90\x01\x00\x00'                 # sub  $400, %esp    (a struct new_utsname)
  printf '\xb8\x7a\x00\x00\x00'                     # mov  $122, %eax    (newuname)
  printf '\x89\xe3'                                 # mov  %esp, %ebx
  printf '\xcd\x80'                                 # int  $0x80
  printf '\xbb\x01\x00\x00\x00'                     # mov  $1, %ebx      (status 1 unless...)
  printf '\x85\xc0'                                 # test %eax, %eax
  printf '\x75\x25'                                 # jnz  exit
  printf '\x81\xbc\x24\x04\x01\x00\x00\x78\x38\x36\x5f' # cmpl $"x86_", 260(%esp) (machine)
  printf '\x75\x18'                                 # jne  exit
  printf '\x66\x81\xbc\x24\x08\x01\x00\x00\x36\x34' # cmpw $"64", 264(%esp)
  printf '\x75\x0c'                                 # jne  exit
  printf '\x80\xbc\x24\x0a\x01\x00\x00\x00'         # cmpb $0, 266(%esp)
  printf '\x75\x02'                                 # jne  exit
  printf '\x31\xdb'                                 # xor  %ebx, %ebx    (...it is "x86_64")
  printf '\xb8\x01\x00\x00\x00'                     # exit: mov $1, %eax (exit)
  printf '\xcd\x80'                                 # int  $0x80
} >"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null

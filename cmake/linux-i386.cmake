# SPDX-License-Identifier: GPL-2.0-or-later
# 32-bit x86 Linux, for the hosts that are 32-bit programs:
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake
#
# The system's own compilers with -m32 (Debian g++-multilib), not a cross
# compiler with a sysroot: the multilib loader and libraries install at the
# paths every i386 program looks in (/lib/ld-linux.so.2, /usr/lib32), so the
# programs built here run as they are, natively where the kernel runs 32-bit
# x86 code and elsewhere under qemu-i386 through binfmt_misc, with no sysroot
# to point either at.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)

# The system's GoogleTest is 64-bit: a cross build compiles its own from
# the sources (cmake/HushlinkTest.cmake). The tests' programs run natively,
# or under qemu-i386 (see the script).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/linux32/run-i386.sh)

# SPDX-License-Identifier: GPL-2.0-or-later
# Hushlink.dll: plain export names at fixed export numbers, and no runtime
# DLLs beside it (the GCC and C++ runtimes are linked in).
set_target_properties(Hushlink PROPERTIES PREFIX "" OUTPUT_NAME Hushlink)
target_sources(Hushlink PRIVATE ${HUSHLINK_DEF_FILE})
# The definition file names the undecorated entry points; the fixup binds each
# to its __stdcall symbol (FWinit to FWinit@0) without a warning.
target_link_options(Hushlink PRIVATE -static -static-libgcc -static-libstdc++
  "LINKER:--enable-stdcall-fixup")

/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A plugin that identifies itself and has nothing else. */
#include "plugin/hushlink.h"

HUSHLINK_EXPORT uint32_t PS2EgetLibType(void) { return 0x40; }
HUSHLINK_EXPORT const char* PS2EgetLibName(void) { return "Partial"; }
HUSHLINK_EXPORT uint32_t PS2EgetLibVersion2(uint32_t type) {
  (void)type;
  return 0x00020001;
}

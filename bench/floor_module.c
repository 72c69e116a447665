/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The floor a register access is measured against: an exported function in a
 * module of its own, called through a resolved pointer like the plugin's,
 * that does nothing but mask the address and load or store the word. */
#include <stdint.h>
#include <string.h>

static unsigned char store[0x10000 + 3];

__attribute__((visibility("default"))) uint32_t floorRead32(uint32_t address) {
  uint32_t value;
  memcpy(&value, store + (address & 0xFFFF), sizeof value);
  return value;
}

__attribute__((visibility("default"))) void floorWrite32(uint32_t address, uint32_t value) {
  memcpy(store + (address & 0xFFFF), &value, sizeof value);
}

// SPDX-License-Identifier: GPL-2.0-or-later
// The null FireWire controller's register space.
//
// Modelled: a 65,536-byte store that keeps every 32-bit word written into the
// controller's range and returns it on the next read, addressed by the low 16
// bits of the address, with words at neighbouring offsets overlapping; and one
// register whose reads are pinned to a fixed value (both in hushlink.h). Not modelled: any bus,
// node or interrupt. The host's interrupt callback is kept and never called.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "plugin/hushlink.h"

namespace hushlink {

inline constexpr std::uint32_t kStoreSize = HUSHLINK_STORE_SIZE;
inline constexpr std::uint32_t kOffsetMask = kStoreSize - 1;
inline constexpr std::uint32_t kWordSize = sizeof(std::uint32_t);
inline constexpr std::uint32_t kFixedReadAddress = HUSHLINK_FIXED_READ_ADDRESS;
inline constexpr std::uint32_t kFixedReadValue = HUSHLINK_FIXED_READ_VALUE;

struct PluginState {
  unsigned char* registerStore;    // owned from a successful FWinit to FWshutdown
  FWirqHandler interruptCallback;  // the host's; never called
};

// Zero-initialised when the module loads.
extern PluginState pluginState;

// Allocates and zeroes the store; false when the memory cannot be had.
bool allocateRegisterStore();
void releaseRegisterStore();

// Bytes of a word that lie past the end of the store read as zero and are
// dropped on write; with no store, reads give 0 and writes are dropped.
// Words that lie whole inside the store take the plain path: a fixed-size copy
// compiles to one load or store.
inline std::uint32_t readRegister(std::uint32_t address) {
  if (address == kFixedReadAddress) return kFixedReadValue;
  const unsigned char* store = pluginState.registerStore;
  if (store == nullptr) return 0;
  const std::uint32_t offset = address & kOffsetMask;
  std::uint32_t value;
  if (offset <= kStoreSize - kWordSize) [[likely]] {
    std::memcpy(&value, store + offset, kWordSize);
    return value;
  }
  unsigned char bytes[kWordSize] = {};
  for (std::uint32_t i = 0; offset + i < kStoreSize; ++i) bytes[i] = store[offset + i];
  std::memcpy(&value, bytes, kWordSize);
  return value;
}

inline void writeRegister(std::uint32_t address, std::uint32_t value) {
  unsigned char* store = pluginState.registerStore;
  if (store == nullptr) return;
  const std::uint32_t offset = address & kOffsetMask;
  if (offset <= kStoreSize - kWordSize) [[likely]] {
    std::memcpy(store + offset, &value, kWordSize);
    return;
  }
  unsigned char bytes[kWordSize];
  std::memcpy(bytes, &value, kWordSize);
  for (std::uint32_t i = 0; offset + i < kStoreSize; ++i) store[offset + i] = bytes[i];
}

}  // namespace hushlink

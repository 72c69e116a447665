// SPDX-License-Identifier: GPL-2.0-or-later
// What the harness expects of any module of this interface: it checks and
// reads logs of modules other than ours, so it keeps its own copy of the
// device's few fixed numbers rather than the plugin's internals.
#pragma once

#include <cstdint>

namespace hushlink::host {

inline constexpr std::uint32_t kFireWireType = 0x40;
inline constexpr std::uint32_t kExpectedVersion = 0x00020006;
// Registers are addressed by the low 16 bits of the address.
inline constexpr std::uint32_t kOffsetMask = 0xFFFF;
// The one register whose reads are pinned, by its full address.
inline constexpr std::uint32_t kFixedReadAddress = 0x1F808410;
inline constexpr std::uint32_t kFixedReadValue = 8;

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// The plugin as the host identifies it.
#pragma once

#include <cstdint>

namespace hushlink {

inline constexpr std::uint32_t kLibType = 0x40;  // the host's code for a FireWire plugin
inline constexpr const char* kLibName = "Hushlink Driver";
inline constexpr std::uint32_t kLibVersion = 0x00020006;
// The start-up line's "version 0,6": the version word's two low bytes.
inline constexpr int kVersionMajor = 0;
inline constexpr int kVersionMinor = 6;

}  // namespace hushlink

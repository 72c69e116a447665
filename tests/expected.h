// SPDX-License-Identifier: GPL-2.0-or-later
// What the host must see of the plugin, stated here once more with literal
// values, apart from the plugin's own header: a wrong value in the product
// then fails a test instead of agreeing with itself. The tests take these
// facts from here and nowhere else; the checks of the module's images read
// the entry point list below too (tests/expected.cmake).
#pragma once

#include <cstdint>

namespace hushlink::testing::expected {

inline constexpr std::uint32_t kLibType = 0x40;
inline constexpr const char* kLibName = "Hushlink Driver";
inline constexpr std::uint32_t kLibVersion = 0x00020006;

inline constexpr std::uint32_t kStoreSize = 0x10000;
inline constexpr std::uint32_t kFixedReadAddress = 0x1F808410;
inline constexpr std::uint32_t kFixedReadValue = 8;

inline constexpr const char* kSettingsFile = "inis/Hushlink.ini";
inline constexpr const char* kFreshSettingsFile = "inis/Hushlink.ini.new";
inline constexpr const char* kLogFile = "logs/Hushlink.log";

inline constexpr const char* kCaption = "Message";

}  // namespace hushlink::testing::expected

// The thirteen entry points: X(name, Windows export number, bytes of
// arguments a 32-bit host pushes for a __stdcall call). One to a line.
#define HUSHLINK_EXPECTED_ENTRY_POINTS(X) \
  X(PS2EgetLibType, 2, 0)                 \
  X(PS2EgetLibName, 3, 0)                 \
  X(PS2EgetLibVersion2, 4, 4)             \
  X(FWinit, 5, 0)                         \
  X(FWshutdown, 6, 0)                     \
  X(FWopen, 7, 4)                         \
  X(FWclose, 8, 0)                        \
  X(FWread32, 11, 4)                      \
  X(FWwrite32, 14, 8)                     \
  X(FWirqCallback, 15, 4)                 \
  X(FWconfigure, 17, 0)                   \
  X(FWtest, 18, 0)                        \
  X(FWabout, 19, 0)

// Export numbers between them that carry no entry point.
#define HUSHLINK_EXPECTED_EMPTY_EXPORT_NUMBERS 9, 10, 12, 13, 16

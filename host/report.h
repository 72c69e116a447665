// SPDX-License-Identifier: GPL-2.0-or-later
// How the harness speaks: exit codes, one-line errors, numbers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hushlink::host {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// "hushlink-host: MESSAGE" on standard error; returns kExitFailure.
int fail(const std::string& message);

// The same, with a pointer to --help; returns kExitUsage.
int usageError(const std::string& message);

std::string joined(const std::vector<std::string>& names);

// "0x" and lower-case hex digits, zero-padded to `width` digits.
std::string hex(std::uint32_t value, int width = 0);

}  // namespace hushlink::host

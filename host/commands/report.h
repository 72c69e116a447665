// SPDX-License-Identifier: GPL-2.0-or-later
// How the harness speaks: exit codes, one-line errors, numbers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hushlink::host {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// "hushlink-host: MESSAGE" on standard error; returns kExitFailure.
int fail(const std::string& message);

// The same, then "Try 'hushlink-host COMMAND --help'." (or the general help
// without a command); returns kExitUsage.
int usageError(const std::string& message, const std::string& command = {});

// The exit status, once everything written to standard output has reached
// it: a write or close that failed (a full disk, a closed pipe) makes a
// success a failure, with a message on standard error.
int finishOutput(int status);

std::string joined(const std::vector<std::string>& names);

// The bytes in double quotes, with line ends shown as \n and \r and every
// other control character, quote, backslash or byte beyond ASCII as \xNN:
// a report shows exactly what was there, line ends and all.
std::string visible(std::string_view bytes);

// "0x" and lower-case hex digits, zero-padded to `width` digits.
std::string hex(std::uint32_t value, int width = 0);

}  // namespace hushlink::host

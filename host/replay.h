// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host replay: a plugin's log replayed against a fresh module.
#pragma once

#include <string>

namespace hushlink::host {

// Replays the register accesses of the log at `logPath` ("FW read mem" and
// "FW write mem" lines, either line end; other lines are skipped) against a
// freshly initialised module in a temporary directory, comparing every read
// with the value logged. Non-zero on the first mismatch or an unreadable log.
int replayLog(const std::string& modulePath, const std::string& logPath);

}  // namespace hushlink::host

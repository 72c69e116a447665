// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host check: a conformance suite for any module of this interface.
#pragma once

#include <chrono>
#include <string>

namespace hushlink::host {

// Runs every check, each in a child process of its own (a freshly loaded
// module) in a fresh temporary directory; prints a row per check and a
// summary. Non-zero when any check fails.
// A check that runs longer than `limit` is stopped and fails.
int checkModule(const std::string& modulePath, std::chrono::milliseconds limit);

// The default time limit of one check.
inline constexpr std::chrono::seconds kDefaultCheckLimit{30};

// The child's side: runs the one check `name` in the current directory and
// leaves its verdict in a file there for the parent, once the module is shut
// down and unloaded. Refuses to run in any folder but the one the parent
// made for it, marked with `token`.
int runCheckInChild(const std::string& modulePath, const std::string& name,
                    const std::string& token);

}  // namespace hushlink::host

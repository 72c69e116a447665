// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host check: a conformance suite for any module of this interface.
#pragma once

#include <string>

namespace hushlink::host {

// Runs every check, each in a child process of its own (a freshly loaded
// module) in a fresh temporary directory; prints a row per check and a
// summary. Non-zero when any check fails.
int checkModule(const std::string& modulePath);

// The child's side: runs the one check `name` in the current directory and
// leaves its verdict in a file there for the parent.
int runCheckInChild(const std::string& modulePath, const std::string& name);

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// Runs one conformance check in a process of its own: the module's state
// lives as long as it is loaded, and a module that crashes, hangs or exits
// on the way must fail its check, not take the harness down.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "host/check/check_table.h"

namespace hushlink::host {

// The default time limit of one check.
inline constexpr std::chrono::seconds kDefaultCheckLimit{30};

// Set in a check's process only, to the token that marks its scratch folder.
// The child mode is no command: it is reached through this variable alone.
inline constexpr const char* kCheckChildVariable = "HUSHLINK_CHECK_CHILD";

// The parent's side: runs `check` against the module in a child process, in
// a fresh scratch folder, for at most `limit`. It passes only when the child
// wrote a passing verdict and then, after FWshutdown and unloading the
// module, exited by itself with status 0.
Verdict runCheckInChild(const std::string& modulePath, const Check& check,
                        std::chrono::milliseconds limit);

// The child's side, given its arguments (the module and the check's name)
// and the token: runs the check in the current directory and leaves its
// verdict in a file there for the parent, once the module is shut down and
// unloaded. Refuses to run in any folder but the one the parent made for it.
int runAsCheckChild(const std::vector<std::string>& arguments, const std::string& token);

}  // namespace hushlink::host

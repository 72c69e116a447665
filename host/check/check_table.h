// SPDX-License-Identifier: GPL-2.0-or-later
// The conformance checks of hushlink-host check: what a module of this
// interface must do, one check per behaviour. Each runs in the emulator's
// working-directory layout (inis/, logs/) with a freshly loaded module; how
// that is arranged is the runner's business (check_runner.h).
#pragma once

#include <optional>
#include <span>
#include <string>

#include "host/hosted_module.h"

namespace hushlink::host {

struct Failure {
  std::string expected;
  std::string got;
};
using Verdict = std::optional<Failure>;  // empty: passed

struct CheckSession {
  HostedModule& plugin;
  SessionEntryPoints fw;  // resolved when the check needs a session
};

struct Check {
  const char* name;
  Verdict (*run)(CheckSession&);
  bool needsSession;  // the register session's entry points
};

// Where the runner sends a check's standard output, in the check's current
// directory: the checks of what a module prints read it back.
inline constexpr const char* kCheckOutputFile = "stdout.txt";

std::span<const Check> allChecks();

// The check of that name, or null.
const Check* findCheck(const std::string& name);

}  // namespace hushlink::host

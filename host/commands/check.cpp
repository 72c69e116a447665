// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host check: the conformance checks against a module of this
// interface, ours or another, one row per check.
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "host/check/check_runner.h"
#include "host/check/check_table.h"
#include "host/commands/command.h"
#include "host/commands/report.h"
#include "host/hosted_module.h"
#include "host/system/platform.h"

namespace hushlink::host {
namespace {

// A positive number of seconds, fractions allowed.
bool parseTimeout(const std::string& text, std::chrono::milliseconds& limit) {
  double seconds = 0;
  const char* end = text.data() + text.size();
  const auto [stopped, error] = std::from_chars(text.data(), end, seconds);
  if (error != std::errc() || stopped != end || !(seconds > 0) || seconds > 86400 * 365) {
    return false;
  }
  limit = std::chrono::milliseconds(static_cast<long long>(seconds * 1000 + 0.5));
  return limit.count() > 0;
}

int check(const Invocation& invocation) {
  std::chrono::milliseconds limit = kDefaultCheckLimit;
  if (invocation.has("--timeout")) {
    const std::string& value = invocation.options.at("--timeout");
    if (!parseTimeout(value, limit)) {
      return usageError("--timeout takes a positive number of seconds, not '" + value + "'",
                        "check");
    }
  }
  const std::string& modulePath = invocation.operands[0];
  std::string error;
  {
    HostedModule probe;
    if (!probe.load(modulePath, error)) return fail(error);
  }
  const std::string absolute = toUtf8(std::filesystem::absolute(toPath(modulePath)));
  const bool terminal = outputIsTerminal();
  int failed = 0;
  for (const Check& check : allChecks()) {
    if (terminal) {
      std::printf("  ....  %s\r", check.name);
      std::fflush(stdout);
    }
    const Verdict verdict = runCheckInChild(absolute, check, limit);
    if (!verdict) {
      std::printf("  PASS  %s\n", check.name);
    } else {
      ++failed;
      std::printf("  FAIL  %-18s expected %s, got %s\n", check.name,
                  forConsole(verdict->expected).c_str(), forConsole(verdict->got).c_str());
    }
    std::fflush(stdout);
  }
  const int total = static_cast<int>(allChecks().size());
  std::printf("%d checks: %d passed, %d failed\n", total, total - failed, failed);
  return failed == 0 ? kExitSuccess : kExitFailure;
}

constexpr Option kOptions[] = {
    {"--timeout", "SECONDS",
     "stop a check that runs longer than SECONDS (default 30, fractions allowed); it fails as "
     "timed out"},
};

}  // namespace

const Command kCheckCommand = {
    "check",
    "MODULE",
    kOptions,
    "Run the conformance checks against MODULE and print a row per check, with what was expected "
    "and what came back when it fails.",
    "Each check runs in a process of its own with a freshly loaded module, in a fresh folder under "
    "the temporary folder, so your own files are never touched; message boxes are answered by "
    "themselves. A check passes only when its process then shuts the module down, unloads it and "
    "exits cleanly within the time limit.",
    nullptr,
    check};

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/check/check_runner.h"

#include <cstdio>
#include <fstream>
#include <random>

#include "host/commands/report.h"
#include "host/system/platform.h"
#include "host/system/scratch_directory.h"

namespace hushlink::host {
namespace {

constexpr const char* kVerdictFile = "verdict.txt";
// Made by the parent in each scratch folder, holding a token that only it and
// its child know: the child mode runs nowhere else.
constexpr const char* kMarkerFile = ".hushlink-check";
constexpr const char* kErrorFile = "stderr.txt";

void writeVerdict(const Verdict& verdict) {
  std::ofstream file(kVerdictFile, std::ios::binary | std::ios::trunc);
  if (!verdict) {
    file << "pass\n";
  } else {
    file << "fail\n" << verdict->expected << "\n" << verdict->got << "\n";
  }
}

std::string seconds(std::chrono::milliseconds limit) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(limit.count()) / 1000);
  return text;
}

std::string newToken() {
  std::random_device random;
  return std::to_string(random()) + std::to_string(random());
}

}  // namespace

Verdict runCheckInChild(const std::string& modulePath, const Check& check,
                        std::chrono::milliseconds limit) {
  const ScratchDirectory directory(std::string("check-") + check.name);
  const std::string token = newToken();
  std::ofstream(directory.path() / kMarkerFile, std::ios::binary) << token;
  const ChildResult child = runChild(
      ownPath(), {modulePath, check.name}, {{kCheckChildVariable, token}}, directory.path(),
      directory.path() / kCheckOutputFile, directory.path() / kErrorFile, limit);
  std::ifstream file(directory.path() / kVerdictFile);
  std::string outcome;
  const bool hasVerdict = static_cast<bool>(std::getline(file, outcome));
  const std::string cleanExit = "a clean exit after FWshutdown and unloading";
  if (!child.started) return Failure{"the check to run", "its process could not be started"};
  if (child.timedOut) return Failure{"the check to finish within " + seconds(limit), "timed out"};
  if (hasVerdict && outcome != "pass") {
    Failure failure;
    std::getline(file, failure.expected);
    std::getline(file, failure.got);
    return failure;
  }
  if (!child.exited) return Failure{cleanExit, child.ending};
  if (child.exitCode != 0) {
    return Failure{cleanExit, "exit status " + std::to_string(child.exitCode)};
  }
  if (!hasVerdict) return Failure{"a verdict", "none"};
  return {};
}

int runAsCheckChild(const std::vector<std::string>& arguments, const std::string& token) {
  std::ifstream marker(kMarkerFile, std::ios::binary);
  std::string found;
  if (token.empty() || !std::getline(marker, found) || found != token) {
    return usageError("a check's process runs only in a folder that 'hushlink-host check' made");
  }
  marker.close();
  const Check* check = arguments.size() == 2 ? findCheck(arguments[1]) : nullptr;
  if (check == nullptr) return usageError("a check's process needs a module and a check's name");
  dismissMessageBoxes();
  Verdict verdict;
  {
    HostedModule plugin;
    CheckSession session{plugin, {}};
    std::string error;
    const bool loaded = check->needsSession
                            ? loadForSession(arguments[0], plugin, session.fw, error)
                            : plugin.load(arguments[0], error);
    verdict = loaded ? check->run(session) : Failure{"a module with the entry points", error};
    if (check->needsSession && loaded) session.fw.shutdown();
  }
  // Only now, with the module shut down and unloaded: a crash on the way
  // leaves no verdict, and the parent reports how the process ended.
  writeVerdict(verdict);
  return kExitSuccess;
}

}  // namespace hushlink::host

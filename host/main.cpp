// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host: loads a FireWire plugin module and drives it the way the
// emulator does, so the plugin can be run and checked without the emulator.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "host/check.h"
#include "host/module.h"
#include "host/platform.h"
#include "host/plugin.h"
#include "host/replay.h"
#include "host/report.h"
#include "host/trace.h"
#include "plugin/hushlink.h"

namespace hushlink::host {
namespace {

constexpr const char* kUsage =
    "usage: hushlink-host COMMAND [OPTIONS] MODULE [ARGS]\n"
    "\n"
    "Loads a FireWire plugin module (libHushlink.so, Hushlink.dll) and calls its\n"
    "entry points the way the emulator does.\n"
    "\n"
    "commands:\n"
    "  info MODULE          print the plugin's type, name and version word, and\n"
    "                       which of the thirteen entry points it exports\n"
    "  run MODULE [TRACE]   in the current directory: FWinit, FWopen, one access\n"
    "                       per trace line, FWclose, FWshutdown; prints each read's\n"
    "                       result. Without TRACE, runs a short demo session.\n"
    "                       TRACE may be - for standard input.\n"
    "  check [--timeout SECONDS] MODULE\n"
    "                       run the conformance checks, each in a fresh temporary\n"
    "                       directory with a freshly loaded module; prints a row\n"
    "                       per check (what was expected and what came back when\n"
    "                       it fails) and a summary. A check passes only when its\n"
    "                       process also shuts the module down, unloads it and\n"
    "                       exits cleanly, within SECONDS (default 30).\n"
    "  replay MODULE LOG    replay the register accesses of a plugin's log (\"FW read\n"
    "                       mem\" and \"FW write mem\" lines; each \"Initializing\n"
    "                       Hushlink\" starts a fresh store) against a fresh module\n"
    "                       in a temporary directory; every read must give the\n"
    "                       value logged. Reports the accesses replayed or the\n"
    "                       first mismatch's line. LOG may be - for standard input.\n"
    "                       Shows progress on a terminal for long logs.\n"
    "  about MODULE         call FWabout once: the plugin's About box\n"
    "  configure MODULE     call FWconfigure once, in the current directory: the\n"
    "                       plugin's notice, then it reads and rewrites\n"
    "                       inis/Hushlink.ini\n"
    "  --help               show this text\n"
    "\n"
    "trace lines:\n"
    "  r ADDRESS            read the register at ADDRESS\n"
    "  w ADDRESS VALUE      write VALUE to the register at ADDRESS\n"
    "  Numbers are hex with 0x or decimal, at most 32 bits; # starts a comment.\n"
    "\n"
    "The plugin reads its settings from inis/Hushlink.ini (the line\n"
    "\"logging = 1\" turns its log on) and logs to logs/Hushlink.log, both in the\n"
    "current directory; it creates neither directory. On a desktop its message\n"
    "boxes wait to be closed; without one they show as a \"Message:\" line on\n"
    "standard error.\n"
    "\n"
    "exit status: 0 on success; 1 when the module, the session, a check or the\n"
    "replay fails, or standard output cannot be written; 2 on a usage error.\n";

int info(const std::string& path) {
  Plugin plugin;
  std::string error;
  if (!plugin.load(path, error)) return fail(error);

  std::printf("module:   %s\n", forConsole(path).c_str());
  if (auto getType = plugin.get<PS2EgetLibTypeFn>("PS2EgetLibType")) {
    const std::uint32_t type = getType();
    std::printf("type:     %s (%s)\n", hex(type).c_str(),
                type == kFireWireType ? "FireWire plugin" : "not a FireWire plugin");
  }
  if (auto getName = plugin.get<PS2EgetLibNameFn>("PS2EgetLibName")) {
    const char* name = getName();
    std::printf("name:     %s\n", name != nullptr ? name : "(null)");
  }
  if (auto getVersion = plugin.get<PS2EgetLibVersion2Fn>("PS2EgetLibVersion2")) {
    const std::uint32_t version = getVersion(kFireWireType);
    std::printf("version:  %s (%u.%u.%u)\n", hex(version, 8).c_str(), version >> 16,
                (version >> 8) & 0xff, version & 0xff);
  }
  // Where modules carry export numbers, each entry point must be reachable
  // by its number too, at the same address, and the unused numbers empty.
  const bool numbered = modulesHaveExportNumbers();
  std::printf("entry points:%s\n", numbered ? "        no.  present  by number" : "");
  std::vector<std::string> absent;
  std::vector<std::string> misnumbered;
  for (const EntryPointInfo& entry : kEntryPoints) {
    void* address = plugin.address(entry.name);
    std::printf("  %-20s %2d  %s", entry.name, entry.exportNumber, address ? "yes" : "MISSING");
    if (address == nullptr) absent.push_back(entry.name);
    if (numbered && address != nullptr) {
      const bool same = plugin.addressByNumber(entry.exportNumber) == address;
      std::printf("      %s", same ? "same address" : "DIFFERENT");
      if (!same) misnumbered.push_back(entry.name);
    }
    std::printf("\n");
  }
  if (numbered) {
    std::string unused;
    for (const int number : kUnusedExportNumbers) {
      if (plugin.addressByNumber(number) != nullptr) misnumbered.push_back(std::to_string(number));
      unused += (unused.empty() ? "" : ", ") + std::to_string(number);
    }
    std::printf("  export numbers %s: %s\n", unused.c_str(),
                misnumbered.empty() ? "empty" : "see below");
  }
  if (!absent.empty()) return fail(path + ": missing entry points: " + joined(absent));
  if (!misnumbered.empty()) {
    return fail(path + ": wrong export numbers: " + joined(misnumbered));
  }
  return 0;
}

bool readTrace(const std::string& source, std::vector<TraceStep>& steps, std::string& error) {
  if (source.empty()) {
    std::istringstream demo(kDemoTrace);
    return parseTrace(demo, "demo", steps, error);
  }
  if (source == "-") return parseTrace(std::cin, "<stdin>", steps, error);
  const std::filesystem::path path = toPath(source);
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    error = source + ": is a folder, not a trace";
    return false;
  }
  std::ifstream file(path);
  if (!file) {
    error = source + ": cannot open trace";
    return false;
  }
  return parseTrace(file, source, steps, error);
}

int interruptsRaised = 0;
void HUSHLINK_CALL countInterrupt(void) { ++interruptsRaised; }

int run(const std::string& path, const std::string& traceSource) {
  std::vector<TraceStep> steps;
  std::string error;
  if (!readTrace(traceSource, steps, error)) return fail(error);

  Plugin plugin;
  SessionEntryPoints fw;
  if (!loadForSession(path, plugin, fw, error)) return fail(error);

  const std::int32_t initResult = fw.init();
  std::printf("FWinit -> %d\n", initResult);
  if (initResult != 0) {
    fw.shutdown();
    return fail("FWinit failed with " + std::to_string(initResult));
  }
  if (auto irqCallback = plugin.get<FWirqCallbackFn>("FWirqCallback")) irqCallback(countInterrupt);
  std::printf("FWopen -> %d\n", fw.open(nullptr));
  for (const TraceStep& step : steps) {
    switch (step.kind) {
      case TraceStep::Kind::Comment:
        std::printf("# %s\n", step.comment.c_str());
        break;
      case TraceStep::Kind::Read:
        std::printf("read  %s -> %s\n", hex(step.address, 8).c_str(),
                    hex(fw.read32(step.address), 8).c_str());
        break;
      case TraceStep::Kind::Write:
        fw.write32(step.address, step.value);
        std::printf("write %s <- %s\n", hex(step.address, 8).c_str(), hex(step.value, 8).c_str());
        break;
    }
  }
  fw.close();
  fw.shutdown();
  std::printf("FWclose, FWshutdown; interrupts raised: %d\n", interruptsRaised);
  return 0;
}

// Loads the module and calls one of its entry points that take and return
// nothing, as the emulator's menu does.
int callOnce(const std::string& path, const char* entryPoint) {
  Plugin plugin;
  std::string error;
  if (!plugin.load(path, error)) return fail(error);
  const auto call = plugin.get<FWaboutFn>(entryPoint);
  if (call == nullptr) return fail(path + ": missing entry point: " + entryPoint);
  call();
  return kExitSuccess;
}

// "--timeout SECONDS": a positive number of seconds, fractions allowed.
bool parseTimeout(const std::string& text, std::chrono::milliseconds& limit) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(seconds > 0) || seconds > 86400 * 365) return false;
  limit = std::chrono::milliseconds(static_cast<long long>(seconds * 1000 + 0.5));
  return limit.count() > 0;
}

int check(std::vector<std::string> args) {
  constexpr const char* kSynopsis = "check [--timeout SECONDS] MODULE";
  std::chrono::milliseconds limit = kDefaultCheckLimit;
  if (args.size() == 4 && args[1] == "--timeout") {
    if (!parseTimeout(args[2], limit)) {
      return usageError("--timeout takes a positive number of seconds, not '" + args[2] + "'");
    }
    args.erase(args.begin() + 1, args.begin() + 3);
  }
  if (args.size() != 2) return usage(kSynopsis);
  return checkModule(args[1], limit);
}

int dispatch(const std::vector<std::string>& args) {
  if (args.empty()) return usageError("no command given");
  const std::string& command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitSuccess;
  }
  if (command == "info") return args.size() == 2 ? info(args[1]) : usage("info MODULE");
  if (command == "run") {
    if (args.size() != 2 && args.size() != 3) return usage("run MODULE [TRACE]");
    return run(args[1], args.size() == 3 ? args[2] : std::string());
  }
  if (command == "check") return check(args);
  if (command == "replay") {
    return args.size() == 3 ? replayLog(args[1], args[2]) : usage("replay MODULE LOG");
  }
  if (command == "about") {
    return args.size() == 2 ? callOnce(args[1], "FWabout") : usage("about MODULE");
  }
  if (command == "configure") {
    return args.size() == 2 ? callOnce(args[1], "FWconfigure") : usage("configure MODULE");
  }
  if (command == "--check-child" && args.size() == 4) {
    return runCheckInChild(args[1], args[2], args[3]);
  }
  return usageError("unknown command '" + command + "'");
}

}  // namespace
}  // namespace hushlink::host

int main(int argc, char** argv) {
  using namespace hushlink::host;
  int status;
  try {
    status = dispatch(commandLineArguments(argc, argv));
  } catch (const std::exception& error) {
    status = fail(error.what());
  }
  return finishOutput(status);
}

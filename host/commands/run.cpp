// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host run: a session of register accesses, from a trace, against
// the module in the current directory, as the emulator would run it.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "host/commands/command.h"
#include "host/commands/report.h"
#include "host/formats/trace.h"
#include "host/hosted_module.h"
#include "host/system/platform.h"

namespace hushlink::host {
namespace {

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

int run(const Invocation& invocation) {
  const std::string& path = invocation.operands[0];
  std::vector<TraceStep> steps;
  std::string error;
  if (!readTrace(invocation.operands.size() > 1 ? invocation.operands[1] : std::string(), steps,
                 error)) {
    return fail(error);
  }

  HostedModule plugin;
  SessionEntryPoints fw;
  if (!loadForSession(path, plugin, fw, error)) return fail(error);

  const std::int32_t initResult = fw.init();
  std::printf("FWinit -> %d\n", initResult);
  if (initResult != 0) {
    fw.shutdown();
    return fail("FWinit failed with " + std::to_string(initResult));
  }
  if (const FWirqCallbackFn irqCallback = plugin.entryPoints().FWirqCallback) {
    irqCallback(countInterrupt);
  }
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
  return kExitSuccess;
}

constexpr HelpEntry kTraceLines[] = {
    {"r ADDRESS", "read the register at ADDRESS"},
    {"w ADDRESS VALUE", "write VALUE to the register at ADDRESS"},
    {"# TEXT", "a comment, shown as the session runs; it may also end an access line"},
};

constexpr HelpSection kTraceFormat = {
    "Trace lines", kTraceLines,
    "Numbers are hex with 0x or decimal, at most 32 bits. Blank lines are passed over."};

}  // namespace

const Command kRunCommand = {
    "run",
    "MODULE [TRACE]",
    {},
    "Run a session in the current directory: FWinit, FWopen, one register access per trace line, "
    "FWclose and FWshutdown, printing each read's result.",
    "Without TRACE, run a short demo session; TRACE may be - for standard input. The whole trace "
    "is checked before the module is loaded, and a bad line is named with its number.",
    &kTraceFormat,
    run};

}  // namespace hushlink::host

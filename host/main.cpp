// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host: loads a FireWire plugin module and drives it the way the
// emulator does, so the plugin can be run and checked without the emulator.
// This file only reads the command line and hands it to the command named.
#include <exception>
#include <string>
#include <vector>

#include "host/check/check_runner.h"
#include "host/commands/command.h"
#include "host/commands/command_line.h"
#include "host/commands/help.h"
#include "host/commands/report.h"
#include "host/system/platform.h"

namespace hushlink::host {
namespace {

constexpr const Command* kCommands[] = {
    &kInfoCommand,    &kRunCommand,   &kCheckCommand,     &kReplayCommand,
    &kSummaryCommand, &kAboutCommand, &kConfigureCommand,
};

const Command* findCommand(const std::string& name) {
  for (const Command* command : kCommands) {
    if (name == command->name) return command;
  }
  return nullptr;
}

int help(const std::vector<std::string>& arguments) {
  if (arguments.size() > 1) return usageError("unexpected operand '" + arguments[1] + "'");
  if (arguments.empty()) {
    printHelp(kCommands);
    return kExitSuccess;
  }
  const Command* command = findCommand(arguments[0]);
  if (command == nullptr) return usageError("unknown command '" + arguments[0] + "'");
  printCommandHelp(*command);
  return kExitSuccess;
}

int dispatch(const std::vector<std::string>& arguments) {
  if (const auto token = environmentVariable(kCheckChildVariable)) {
    return runAsCheckChild(arguments, *token);
  }
  if (arguments.empty()) return usageError("no command given");
  const std::string& name = arguments[0];
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  if (name == "--help" || name == "-h") return help({});
  if (name == "help") return help(rest);
  if (name == "--version") {
    printVersion();
    return kExitSuccess;
  }
  const Command* command = findCommand(name);
  if (command == nullptr) return usageError("unknown command '" + name + "'");
  Invocation invocation;
  std::string error;
  switch (parseCommandLine(*command, rest, invocation, error)) {
    case Parsed::Help:
      printCommandHelp(*command);
      return kExitSuccess;
    case Parsed::Error:
      return usageError(error, command->name);
    case Parsed::Run:
      break;
  }
  return command->run(invocation);
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

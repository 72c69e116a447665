// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/commands/command_line.h"

#include <sstream>

namespace hushlink::host {
namespace {

struct OperandNames {
  std::vector<std::string> names;
  std::size_t required = 0;
};

// "MODULE [TRACE]": MODULE required, TRACE optional.
OperandNames operandNames(const char* synopsis) {
  OperandNames result;
  std::istringstream words(synopsis);
  for (std::string word; words >> word;) {
    const bool optional = word.front() == '[';
    if (optional) word = word.substr(1, word.size() - 2);
    if (!optional) ++result.required;
    result.names.push_back(word);
  }
  return result;
}

const Option* findOption(const Command& command, const std::string& name) {
  for (const Option& option : command.options) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

Parsed parseCommandLine(const Command& command, const std::vector<std::string>& arguments,
                        Invocation& invocation, std::string& error) {
  invocation = {};
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    // A lone "-" is an operand: standard input.
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      invocation.operands.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    const std::size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    if (argument == "-h" || name == "--help") return Parsed::Help;
    const Option* option = argument.rfind("--", 0) == 0 ? findOption(command, name) : nullptr;
    if (option == nullptr) {
      error = "unknown option '" + name + "'";
      return Parsed::Error;
    }
    if (option->argument == nullptr) {
      if (equals != std::string::npos) {
        error = "option '" + name + "' takes no argument";
        return Parsed::Error;
      }
      invocation.options[name] = "";
    } else if (equals != std::string::npos) {
      invocation.options[name] = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      invocation.options[name] = arguments[++i];
    } else {
      error = "option '" + name + "' needs an argument: " + name + " " + option->argument;
      return Parsed::Error;
    }
  }
  const OperandNames expected = operandNames(command.operands);
  if (invocation.operands.size() < expected.required) {
    error = "missing operand " + expected.names[invocation.operands.size()];
    return Parsed::Error;
  }
  if (invocation.operands.size() > expected.names.size()) {
    error = "unexpected operand '" + invocation.operands[expected.names.size()] + "'";
    return Parsed::Error;
  }
  return Parsed::Run;
}

}  // namespace hushlink::host

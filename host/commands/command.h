// SPDX-License-Identifier: GPL-2.0-or-later
// A command of hushlink-host as the command line and the help see it. Each
// command's file defines its own; main.cpp lists them.
#pragma once

#include <map>
#include <span>
#include <string>
#include <vector>

namespace hushlink::host {

struct Option {
  const char* name;      // "--timeout"
  const char* argument;  // "SECONDS", or null for an option that takes none
  const char* help;
};

// A command line taken apart: the operands in order, and the options given,
// each with its last value ("" for one that takes none).
struct Invocation {
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;

  bool has(const std::string& option) const { return options.count(option) != 0; }
};

// A list in the help: terms and what they mean, under a heading, with an
// optional paragraph after it.
struct HelpEntry {
  const char* term;
  const char* text;
};
struct HelpSection {
  const char* heading;
  std::span<const HelpEntry> entries;
  const char* after;  // or null
};

struct Command {
  const char* name;
  // The operands as the usage line shows them; those in brackets are
  // optional ("MODULE [TRACE]").
  const char* operands;
  std::span<const Option> options;
  // The help's texts, as plain sentences; the help wraps them.
  const char* summary;         // what the command does
  const char* description;     // the rest, or ""
  const HelpSection* section;  // one more list of its own, or null
  int (*run)(const Invocation&);
};

extern const Command kInfoCommand;
extern const Command kRunCommand;
extern const Command kCheckCommand;
extern const Command kReplayCommand;
extern const Command kSummaryCommand;
extern const Command kAboutCommand;
extern const Command kConfigureCommand;

}  // namespace hushlink::host

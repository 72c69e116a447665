// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/commands/help.h"

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/hushlink.h"

namespace hushlink::host {
namespace {

// Lines of at most 79 columns. The list of commands hangs its texts at
// column 22, where help2man takes an indented paragraph for a term's
// description.
constexpr std::size_t kWidth = 79;
constexpr std::size_t kHang = 22;

constexpr const char* kIntroduction =
    "Load a FireWire plugin module (libHushlink.so, Hushlink.dll) and call its entry points the "
    "way the emulator does: run a session, check the module against the interface, or replay and "
    "sum up a log the plugin wrote.";

constexpr const char* kOptionsRule =
    "Options may come before or after the operands, as --name VALUE or --name=VALUE; -- ends the "
    "options. Every command takes -h, --help.";

constexpr HelpEntry kExitStatus[] = {
    {"0", "success"},
    {"1",
     "the module could not be loaded or lacks an entry point; the session, a check or the replay "
     "failed; a file could not be read; or standard output could not be written"},
    {"2",
     "a usage error: an unknown command or option, a missing or unexpected operand, an option "
     "value out of range"},
};

constexpr HelpEntry kEnvironment[] = {
    {"TMPDIR", "where check and replay make their scratch folders (TEMP on Windows)"},
    {HUSHLINK_DESKTOP_VARIABLE ", " HUSHLINK_WAYLAND_DESKTOP_VARIABLE,
     "the desktop where the plugin shows its message boxes on Linux; without either, a box shows "
     "as a \"" HUSHLINK_MESSAGE_CAPTION ":\" line on standard error"},
};

constexpr HelpEntry kFiles[] = {
    {HUSHLINK_SETTINGS_PATH,
     "The plugin's settings, in the current directory: the line \"" HUSHLINK_LOGGING_KEY
     " = 1\" turns its log on, \"" HUSHLINK_LOGGING_KEY
     " = 0\" off. The plugin writes it when it is missing and whenever configure runs."},
    {HUSHLINK_LOG_PATH,
     "The plugin's log while logging is on, in the current directory: one line per event and per "
     "register access, \"" HUSHLINK_READ_LINE_PREFIX
     " 0xADDRESS: 0xVALUE\" or \"" HUSHLINK_WRITE_LINE_PREFIX " 0xADDRESS: 0xVALUE\". "
     "Emptied at each start of the plugin. The plugin creates neither folder."},
};

constexpr const char* kExamples[] = {
    "hushlink-host check ./libHushlink.so",
    "hushlink-host run ./libHushlink.so session.trace",
    "hushlink-host summary " HUSHLINK_LOG_PATH,
};

std::vector<std::string> wrapped(const std::string& text, std::size_t width) {
  std::vector<std::string> lines;
  std::istringstream words(text);
  std::string line;
  for (std::string word; words >> word;) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      lines.push_back(line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

void printParagraph(const std::string& text) {
  for (const std::string& line : wrapped(text, kWidth)) std::printf("%s\n", line.c_str());
}

// "  TERM" and the text hung at kHang: beside the term when it leaves room,
// else from the next line.
void printEntry(const std::string& term, const std::string& text) {
  const std::string lead = "  " + term;
  std::vector<std::string> lines = wrapped(text, kWidth - kHang);
  if (lead.size() + 2 > kHang) {
    std::printf("%s\n", lead.c_str());
  } else if (!lines.empty()) {
    std::printf("%-*s%s\n", static_cast<int>(kHang), lead.c_str(), lines.front().c_str());
    lines.erase(lines.begin());
  }
  for (const std::string& line : lines) {
    std::printf("%*s%s\n", static_cast<int>(kHang), "", line.c_str());
  }
}

void printSection(const HelpSection& section) {
  std::printf("\n%s:\n", section.heading);
  for (const HelpEntry& entry : section.entries) printEntry(entry.term, entry.text);
  if (section.after != nullptr) printParagraph(section.after);
}

std::string optionName(const Option& option) {
  std::string name = option.name;
  if (option.argument != nullptr) name += std::string("=") + option.argument;
  return name;
}

// The command with its options written out, as the list of commands shows it.
std::string synopsis(const Command& command) {
  std::string line = command.name;
  for (const Option& option : command.options) {
    line += " [";
    line += optionName(option);
    line += ']';
  }
  return line + " " + command.operands;
}

}  // namespace

void printHelp(std::span<const Command* const> commands) {
  std::printf(
      "Usage: hushlink-host COMMAND [OPTION]... OPERAND...\n"
      "  or:  hushlink-host help [COMMAND]\n"
      "  or:  hushlink-host --version\n");
  printParagraph(kIntroduction);
  std::printf("\n");
  printParagraph(kOptionsRule);
  std::printf("\nCommands:\n");
  for (const Command* command : commands) {
    std::string text = std::string(command->summary) + " " + command->description;
    for (const Option& option : command->options) {
      text += ' ';
      text += optionName(option);
      text += ": ";
      text += option.help;
      text += '.';
    }
    printEntry(synopsis(*command), text);
  }
  printEntry("help [COMMAND]", "Show this help, or the help of COMMAND alone.");
  for (const Command* command : commands) {
    if (command->section != nullptr) printSection(*command->section);
  }
  // help2man makes sections of Environment, Files and Examples, and
  // subsections of the other headings, as for GNU's own programs.
  printSection({"Exit status", kExitStatus, nullptr});
  printSection({"Environment", kEnvironment, nullptr});
  printSection({"Files", kFiles, nullptr});
  // help2man keeps lines behind "$ " as they are, in a fixed-width font.
  std::printf("\nExamples:\n");
  for (const char* example : kExamples) std::printf("  $ %s\n", example);
}

void printCommandHelp(const Command& command) {
  std::printf("Usage: hushlink-host %s%s %s\n", command.name,
              command.options.empty() ? "" : " [OPTION]...", command.operands);
  printParagraph(command.summary);
  if (*command.description != '\0') {
    std::printf("\n");
    printParagraph(command.description);
  }
  std::printf("\nOptions:\n");
  for (const Option& option : command.options) {
    printEntry("    " + optionName(option), option.help);
  }
  printEntry("-h, --help", "show this help");
  if (command.section != nullptr) printSection(*command.section);
}

void printVersion() { std::printf("hushlink-host %s\n", HUSHLINK_VERSION); }

}  // namespace hushlink::host

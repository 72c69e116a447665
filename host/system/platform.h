// SPDX-License-Identifier: GPL-2.0-or-later
// What the harness needs from the operating system beyond loading modules,
// behind one small interface per platform. Texts are UTF-8 throughout the
// harness; paths become std::filesystem::path here and stay paths, so that
// any name the system can give a file works.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hushlink::host {

// The line end of text files and of standard output in text mode.
extern const char* const kTextLineEnd;

// The program's arguments, after its name, in UTF-8 (on Windows taken from
// the wide command line, whatever the code page).
std::vector<std::string> commandLineArguments(int argc, char** argv);

// A UTF-8 path as a path, and back.
std::filesystem::path toPath(const std::string& utf8);
std::string toUtf8(const std::filesystem::path& path);

// A UTF-8 text as the console shows it: in the console's own encoding.
std::string forConsole(const std::string& utf8);

// This program's own file, to start it again for a check that needs a
// freshly loaded module.
std::filesystem::path ownPath();

struct ChildResult {
  bool started;
  bool timedOut;       // killed after the time limit
  bool exited;         // false: ended by a signal or an exception
  int exitCode;        // when it exited
  std::string ending;  // otherwise: the signal or exception, in words
};

// The value of an environment variable, in UTF-8; none when it is not set.
std::optional<std::string> environmentVariable(const char* name);

using EnvironmentVariables = std::vector<std::pair<std::string, std::string>>;

// Runs `program` with `arguments` in `workingDirectory`, in this process's
// environment with `environment` set besides, with standard output and
// standard error written to the two files, and waits for it, at most
// `limit`: a child still running then is killed.
ChildResult runChild(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments,
                     const EnvironmentVariables& environment,
                     const std::filesystem::path& workingDirectory,
                     const std::filesystem::path& outputPath,
                     const std::filesystem::path& errorPath, std::chrono::milliseconds limit);

// Whether standard output is a terminal, where progress lines help.
bool outputIsTerminal();

// No user is watching: message boxes the plugin shows from now on must not
// wait for one.
void dismissMessageBoxes();

}  // namespace hushlink::host

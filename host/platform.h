// SPDX-License-Identifier: GPL-2.0-or-later
// What the harness needs from the operating system beyond loading modules,
// behind one small interface per platform.
#pragma once

#include <string>
#include <vector>

namespace hushlink::host {

// The line end of text files and of standard output in text mode.
extern const char* const kTextLineEnd;

// This program's own path, to start it again for a check that needs a
// freshly loaded module.
std::string ownPath();

struct ChildResult {
  bool started;
  bool exited;   // false: ended by a signal or an exception
  int exitCode;  // when it exited
};

// Runs `arguments` (the program first) in `workingDirectory` with standard
// output and standard error written to the two files, and waits for it.
ChildResult runChild(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                     const std::string& outputPath, const std::string& errorPath);

// Whether standard output is a terminal, where progress lines help.
bool outputIsTerminal();

// No user is watching: message boxes the plugin shows from now on must not
// wait for one.
void dismissMessageBoxes();

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// What only the Windows tests need: message boxes caught as they open, and
// child processes started with their output in files.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "host/system/windows_command_line.h"

namespace hushlink::testing {

// A message box as its window holds it.
struct Box {
  std::string caption;
  std::string text;      // what the user sees, as UTF-8
  std::string ansiText;  // the same through the 8-bit call, in the system's code page
  std::wstring wideText;
  HWND owner;
};

// Catches every dialog box this thread opens while the object lives, records
// it and presses OK. A box still open when the call that showed it returned
// would be a box the call did not wait for: dismissedBeforeReturn() says
// whether every one was closed by the time the next thing was asked.
class BoxWatch {
 public:
  BoxWatch();
  ~BoxWatch();
  BoxWatch(const BoxWatch&) = delete;
  BoxWatch& operator=(const BoxWatch&) = delete;

  const std::vector<Box>& boxes() const { return boxes_; }

 private:
  static LRESULT CALLBACK watch(int code, WPARAM wParam, LPARAM lParam);
  static BoxWatch* active_;
  BoxWatch* outer_;
  HHOOK hook_;
  std::vector<Box> boxes_;
};

std::wstring widened(const std::string& utf8);
std::string utf8(const std::wstring& wide);

using host::quotedArgument;

// Starts `commandLine` in `folder` (null: this one) with standard output and
// standard error into the two files (null: standard error stays ours); the
// process, or null when it could not be started.
HANDLE startProcess(std::wstring commandLine, const wchar_t* folder, const wchar_t* outputPath,
                    const wchar_t* errorPath = nullptr);

// Waits for a process started above; its exit code.
DWORD exitCodeOf(HANDLE process);

// This program's own file.
std::wstring ownPath();

}  // namespace hushlink::testing

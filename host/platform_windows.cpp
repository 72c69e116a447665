// SPDX-License-Identifier: GPL-2.0-or-later
#include <io.h>
#include <windows.h>

#include <cstring>

#include "host/platform.h"

namespace hushlink::host {

const char* const kTextLineEnd = "\r\n";

std::string ownPath() {
  char path[MAX_PATH];
  const DWORD size = GetModuleFileNameA(nullptr, path, sizeof path);
  return size > 0 && size < sizeof path ? std::string(path, size) : std::string();
}

namespace {

// One argument as the C runtime splits a command line: quoted, with the
// backslashes before a quote doubled.
std::string quoted(const std::string& argument) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

HANDLE inheritableFile(const std::string& path, DWORD access, DWORD creation) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                     creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildResult runChild(const std::vector<std::string>& arguments, const std::string& workingDirectory,
                     const std::string& outputPath, const std::string& errorPath) {
  std::string commandLine;
  for (const std::string& argument : arguments) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quoted(argument);
  }
  const HANDLE input = inheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE output = inheritableFile(outputPath, GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE error = inheritableFile(errorPath, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessA(arguments[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                     workingDirectory.c_str(), &startup, &process);
  for (const HANDLE handle : {input, output, error}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  if (!started) return {false, false, 0};
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Exception codes (0xC0000005 and the like) mean the program crashed.
  const bool crashed = (code & 0xC0000000u) == 0xC0000000u;
  return {true, !crashed, static_cast<int>(code)};
}

bool outputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

namespace {

// Presses OK on every message box of this thread the moment it opens.
LRESULT CALLBACK pressOk(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    const HWND window = reinterpret_cast<HWND>(wParam);
    char className[16];
    if (GetClassNameA(window, className, sizeof className) > 0 &&
        std::strcmp(className, "#32770") == 0) {
      PostMessageA(window, WM_COMMAND, IDOK, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

void dismissMessageBoxes() { SetWindowsHookExA(WH_CBT, pressOk, nullptr, GetCurrentThreadId()); }

}  // namespace hushlink::host

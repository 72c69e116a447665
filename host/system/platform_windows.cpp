// SPDX-License-Identifier: GPL-2.0-or-later
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "host/system/platform.h"
#include "host/system/scratch_directory.h"
#include "host/system/windows_command_line.h"

// The C runtime's wide arguments, which it splits from the wide command line
// just as it splits the 8-bit ones for main.
extern "C" {
struct StartupInfo {
  int newMode;
};
int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment, int expandWildcards,
                           StartupInfo* startup);
}

namespace hushlink::host {

const char* const kTextLineEnd = "\r\n";

namespace {

std::wstring widened(const std::string& utf8) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  }
  return wide;
}

std::string narrowed(const std::wstring& wide, UINT codePage) {
  const int size = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(),
                        size, nullptr, nullptr);
  }
  return narrow;
}

// This process's environment with `settings` in place, as CreateProcessW
// takes it: NAME=VALUE strings, each ended by a null, one more null at the
// end, sorted without regard to case as Windows keeps them. Names are
// compared without regard to case too; those of the hidden per-drive
// entries ("=C:=C:\\") start with their "=".
std::wstring environmentBlock(const EnvironmentVariables& settings) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      entries.emplace_back(entry);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& [name, value] : settings) {
    const std::wstring wideName = widened(name);
    std::erase_if(entries, [&](const std::wstring& entry) {
      const std::size_t equals = entry.find(L'=', 1);
      return equals == wideName.size() &&
             CompareStringOrdinal(entry.c_str(), static_cast<int>(equals), wideName.c_str(),
                                  static_cast<int>(wideName.size()), TRUE) == CSTR_EQUAL;
    });
    entries.push_back(wideName + L"=" + widened(value));
  }
  std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const std::wstring& entry : entries) {
    block += entry;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

HANDLE inheritableFile(const std::filesystem::path& path, DWORD access, DWORD creation) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, TRUE};
  return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                     creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::wstring quotedArgument(const std::wstring& argument) {
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  // The 8-bit arguments lose every character the code page lacks: the wide
  // ones the C runtime keeps beside them do not.
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo startup{};
  if (__wgetmainargs(&count, &wide, &environment, 0, &startup) != 0 || wide == nullptr) {
    return std::vector<std::string>(argv + 1, argv + argc);
  }
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(narrowed(wide[i], CP_UTF8));
  return arguments;
}

std::filesystem::path toPath(const std::string& utf8) {
  return std::filesystem::path(widened(utf8));
}

std::string toUtf8(const std::filesystem::path& path) { return narrowed(path.native(), CP_UTF8); }

std::string forConsole(const std::string& utf8) {
  const UINT console = GetConsoleOutputCP();
  return narrowed(widened(utf8), console != 0 ? console : GetACP());
}

std::filesystem::path ownPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD size = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (size == 0) return {};
    if (size < path.size()) {
      path.resize(size);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::optional<std::string> environmentVariable(const char* name) {
  const std::wstring wideName = widened(name);
  const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(wideName.c_str(), value.data(), size));
  return narrowed(value, CP_UTF8);
}

ChildResult runChild(const std::filesystem::path& program,
                     const std::vector<std::string>& arguments,
                     const EnvironmentVariables& environment,
                     const std::filesystem::path& workingDirectory,
                     const std::filesystem::path& outputPath,
                     const std::filesystem::path& errorPath, std::chrono::milliseconds limit) {
  std::wstring commandLine = quotedArgument(program.native());
  for (const std::string& argument : arguments) {
    commandLine += L' ';
    commandLine += quotedArgument(widened(argument));
  }
  const HANDLE input = inheritableFile(L"NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE output = inheritableFile(outputPath, GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE error = inheritableFile(errorPath, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  std::wstring block = environmentBlock(environment);
  const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT, block.data(),
                                      workingDirectory.c_str(), &startup, &process);
  for (const HANDLE handle : {input, output, error}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  if (!started) return {false, false, false, 0, {}};
  const DWORD waitLimit = limit.count() >= static_cast<long long>(INFINITE)
                              ? INFINITE - 1
                              : static_cast<DWORD>(limit.count());
  bool timedOut = false;
  if (WaitForSingleObject(process.hProcess, waitLimit) == WAIT_TIMEOUT) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    timedOut = true;
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  // Exception codes (0xC0000005 and the like) mean the program crashed.
  if ((code & 0xC0000000u) == 0xC0000000u) {
    char ending[48];
    std::snprintf(ending, sizeof ending, "ended by exception 0x%08lX",
                  static_cast<unsigned long>(code));
    return {true, timedOut, false, 0, ending};
  }
  return {true, timedOut, true, static_cast<int>(code), {}};
}

bool outputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

// Windows keeps no file system in memory for programs to use.
std::filesystem::path memoryBackedTempFolder() { return std::filesystem::temp_directory_path(); }

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

// SPDX-License-Identifier: GPL-2.0-or-later
#include <windows.h>

#include "host/system/module.h"
#include "host/system/platform.h"

namespace hushlink::host {

namespace {

// The system's message for the last error, with its "%1" (where it has one)
// filled in with the module's path.
std::string lastErrorText(const std::filesystem::path& path) {
  const DWORD code = GetLastError();
  wchar_t* text = nullptr;
  FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = text != nullptr ? text : L"";
  LocalFree(text);
  for (std::size_t insert; (insert = message.find(L"%1")) != std::wstring::npos;) {
    message.replace(insert, 2, path.native());
  }
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L' ' || message.back() == L'.')) {
    message.pop_back();
  }
  std::string result = "error " + std::to_string(code);
  if (!message.empty()) result += ": " + toUtf8(std::filesystem::path(message));
  return result;
}

}  // namespace

ModuleHandle loadModule(const std::filesystem::path& path, std::string& error) {
  // A bare name would be looked up along the DLL search path; a user means the file.
  const std::filesystem::path file = path.has_parent_path() ? path : L"." / path;
  HMODULE module = LoadLibraryW(file.c_str());
  if (module == nullptr) error = lastErrorText(file);
  return module;
}

void* findEntryPoint(ModuleHandle module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

bool modulesHaveExportNumbers() { return true; }

void* findEntryPointByNumber(ModuleHandle module, int number) {
  return reinterpret_cast<void*>(
      GetProcAddress(static_cast<HMODULE>(module), MAKEINTRESOURCEA(number)));
}

void unloadModule(ModuleHandle module) { FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
#include <windows.h>

#include "host/module.h"

namespace hushlink::host {

namespace {
std::string lastErrorText() {
  const DWORD code = GetLastError();
  char* text = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = text != nullptr ? text : "";
  LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return "error " + std::to_string(code) + (message.empty() ? "" : ": " + message);
}
}  // namespace

ModuleHandle loadModule(const std::string& path, std::string& error) {
  // A bare name would be looked up along the DLL search path; a user means the file.
  const bool bare = path.find_first_of("/\\:") == std::string::npos;
  const std::string file = bare ? ".\\" + path : path;
  HMODULE module = LoadLibraryA(file.c_str());
  if (module == nullptr) error = lastErrorText();
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

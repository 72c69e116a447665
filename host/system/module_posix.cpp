// SPDX-License-Identifier: GPL-2.0-or-later
#include <dlfcn.h>

#include "host/system/module.h"

namespace hushlink::host {

ModuleHandle loadModule(const std::filesystem::path& path, std::string& error) {
  // dlopen searches the library path for a bare name; a user means the file.
  const std::filesystem::path file = path.has_parent_path() ? path : "." / path;
  void* module = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* message = ::dlerror();
    error = message != nullptr ? message : "unknown loader error";
  }
  return module;
}

void* findEntryPoint(ModuleHandle module, const char* name) { return ::dlsym(module, name); }

bool modulesHaveExportNumbers() { return false; }

void* findEntryPointByNumber(ModuleHandle, int) { return nullptr; }

void unloadModule(ModuleHandle module) { ::dlclose(module); }

}  // namespace hushlink::host

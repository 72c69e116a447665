// SPDX-License-Identifier: GPL-2.0-or-later
// Loading a plugin module the way the host does, behind one small interface
// per platform.
#pragma once

#include <filesystem>
#include <string>

namespace hushlink::host {

using ModuleHandle = void*;

// Loads the module at `path`; null, with the loader's own message in `error`
// (UTF-8), when it does not load.
ModuleHandle loadModule(const std::filesystem::path& path, std::string& error);

// The address of the exported entry point `name`, or null.
void* findEntryPoint(ModuleHandle module, const char* name);

// Whether modules here carry export numbers besides names (Windows DLLs do).
bool modulesHaveExportNumbers();

// The address exported under `number`, or null.
void* findEntryPointByNumber(ModuleHandle module, int number);

void unloadModule(ModuleHandle module);

}  // namespace hushlink::host

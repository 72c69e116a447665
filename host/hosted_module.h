// SPDX-License-Identifier: GPL-2.0-or-later
// A plugin module loaded by the harness, with its entry points resolved by
// name as the emulator resolves them.
#pragma once

#include <string>
#include <vector>

#include "host/system/module.h"
#include "plugin/hushlink.h"

namespace hushlink::host {

struct EntryPointInfo {
  const char* name;
  int exportNumber;
};

// The interface in the order of its export numbers.
#define HUSHLINK_ENTRY_POINT_INFO(name, number, type) {#name, number},
inline constexpr EntryPointInfo kEntryPoints[] = {HUSHLINK_ENTRY_POINTS(HUSHLINK_ENTRY_POINT_INFO)};
#undef HUSHLINK_ENTRY_POINT_INFO
inline constexpr int kUnusedExportNumbers[] = {9, 10, 12, 13, 16};

// Every entry point as a pointer of its own type, named after it, null where
// the module lacks it. The one list in hushlink.h pairs each name with its
// type, so no entry point can be called through another's.
struct EntryPoints {
#define HUSHLINK_ENTRY_POINT_FIELD(name, number, type) type name = nullptr;
  HUSHLINK_ENTRY_POINTS(HUSHLINK_ENTRY_POINT_FIELD)
#undef HUSHLINK_ENTRY_POINT_FIELD
};

// Unloaded when the object goes.
class HostedModule {
 public:
  HostedModule() = default;
  HostedModule(const HostedModule&) = delete;
  HostedModule& operator=(const HostedModule&) = delete;
  ~HostedModule();

  // `path` in UTF-8. False, with "PATH: cannot load module: <why>" in
  // `error`: the machine it was built for when that is not ours, else the
  // loader's own message.
  bool load(const std::string& path, std::string& error);

  const EntryPoints& entryPoints() const { return entryPoints_; }

  // By name or number, for checks of the export table itself.
  void* address(const char* name) const;
  void* addressByNumber(int number) const;

  // The names among `names` that the module does not export.
  std::vector<std::string> missing(const std::vector<const char*>& names) const;

 private:
  ModuleHandle module_ = nullptr;
  EntryPoints entryPoints_;
  std::vector<void*> addresses_;  // in the order of kEntryPoints
};

// The entry points a session needs, all resolved.
struct SessionEntryPoints {
  FWinitFn init;
  FWshutdownFn shutdown;
  FWopenFn open;
  FWcloseFn close;
  FWread32Fn read32;
  FWwrite32Fn write32;
};

// Loads the module and resolves the session's entry points; false with a
// one-line error naming what is wrong.
bool loadForSession(const std::string& path, HostedModule& plugin, SessionEntryPoints& entryPoints,
                    std::string& error);

// Loads the module and calls one of its entry points once, through a pointer
// of that entry point's own type; false with a one-line error naming what is
// wrong.
template <typename EntryPoint>
bool callOnce(const std::string& path, EntryPoint EntryPoints::*entry, const char* name,
              std::string& error) {
  HostedModule plugin;
  if (!plugin.load(path, error)) return false;
  const EntryPoint call = plugin.entryPoints().*entry;
  if (call == nullptr) {
    error = path + ": missing entry point: " + name;
    return false;
  }
  call();
  return true;
}

}  // namespace hushlink::host

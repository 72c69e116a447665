// SPDX-License-Identifier: GPL-2.0-or-later
// A plugin module loaded by the harness, with its entry points resolved by
// name as the emulator resolves them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/module.h"
#include "plugin/hushlink.h"

namespace hushlink::host {

inline constexpr std::uint32_t kFireWireType = 0x40;

struct EntryPointInfo {
  const char* name;
  int exportNumber;
};

// The interface in the order of its export numbers.
#define HUSHLINK_ENTRY_POINT_INFO(name, number, type) {#name, number},
inline constexpr EntryPointInfo kEntryPoints[] = {HUSHLINK_ENTRY_POINTS(HUSHLINK_ENTRY_POINT_INFO)};
#undef HUSHLINK_ENTRY_POINT_INFO
inline constexpr int kUnusedExportNumbers[] = {9, 10, 12, 13, 16};

// Unloaded when the object goes.
class Plugin {
 public:
  Plugin() = default;
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;
  ~Plugin();

  // `path` in UTF-8. False, with "PATH: cannot load module: <why>" in
  // `error`: the machine it was built for when that is not ours, else the
  // loader's own message.
  bool load(const std::string& path, std::string& error);

  void* address(const char* name) const;
  void* addressByNumber(int number) const;

  template <typename Fn>
  Fn get(const char* name) const {
    return reinterpret_cast<Fn>(address(name));
  }

  // The names among `names` that the module does not export.
  std::vector<std::string> missing(const std::vector<const char*>& names) const;

 private:
  ModuleHandle module_ = nullptr;
  std::vector<void*> addresses_;
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
bool loadForSession(const std::string& path, Plugin& plugin, SessionEntryPoints& entryPoints,
                    std::string& error);

}  // namespace hushlink::host

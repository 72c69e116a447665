// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/hosted_module.h"

#include <cstring>

#include "host/commands/report.h"
#include "host/system/module_image.h"
#include "host/system/platform.h"

namespace hushlink::host {

HostedModule::~HostedModule() {
  if (module_ != nullptr) unloadModule(module_);
}

bool HostedModule::load(const std::string& path, std::string& error) {
  const std::filesystem::path file = toPath(path);
  // A module for another machine is named as such, and never handed to the
  // loader.
  const std::string mismatch = machineMismatch(file);
  if (!mismatch.empty()) {
    error = path + ": cannot load module: " + mismatch;
    return false;
  }
  module_ = loadModule(file, error);
  if (module_ == nullptr) {
    error = path + ": cannot load module: " + error;
    return false;
  }
  for (const EntryPointInfo& entry : kEntryPoints) {
    addresses_.push_back(findEntryPoint(module_, entry.name));
  }
#define HUSHLINK_RESOLVE_ENTRY_POINT(name, number, type) \
  entryPoints_.name = reinterpret_cast<type>(address(#name));
  HUSHLINK_ENTRY_POINTS(HUSHLINK_RESOLVE_ENTRY_POINT)
#undef HUSHLINK_RESOLVE_ENTRY_POINT
  return true;
}

void* HostedModule::address(const char* name) const {
  for (std::size_t i = 0; i < addresses_.size(); ++i) {
    if (std::strcmp(kEntryPoints[i].name, name) == 0) return addresses_[i];
  }
  return nullptr;
}

void* HostedModule::addressByNumber(int number) const {
  return findEntryPointByNumber(module_, number);
}

std::vector<std::string> HostedModule::missing(const std::vector<const char*>& names) const {
  std::vector<std::string> absent;
  for (const char* name : names) {
    if (address(name) == nullptr) absent.push_back(name);
  }
  return absent;
}

bool loadForSession(const std::string& path, HostedModule& plugin, SessionEntryPoints& entryPoints,
                    std::string& error) {
  if (!plugin.load(path, error)) return false;
  const auto absent =
      plugin.missing({"FWinit", "FWshutdown", "FWopen", "FWclose", "FWread32", "FWwrite32"});
  if (!absent.empty()) {
    error = path + ": missing entry points: " + joined(absent);
    return false;
  }
  const EntryPoints& fw = plugin.entryPoints();
  entryPoints = {fw.FWinit, fw.FWshutdown, fw.FWopen, fw.FWclose, fw.FWread32, fw.FWwrite32};
  return true;
}

}  // namespace hushlink::host

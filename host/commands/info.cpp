// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host info: what a module says of itself, and which entry points
// it exports.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/commands/command.h"
#include "host/commands/report.h"
#include "host/hosted_module.h"
#include "host/system/module.h"
#include "host/system/module_image.h"
#include "host/system/platform.h"

namespace hushlink::host {
namespace {

int info(const Invocation& invocation) {
  const std::string& path = invocation.operands[0];
  HostedModule plugin;
  std::string error;
  if (!plugin.load(path, error)) return fail(error);
  const EntryPoints& fw = plugin.entryPoints();

  std::printf("module:   %s\n", forConsole(path).c_str());
  // A host loads only modules of its own bitness: which one this is.
  std::printf("format:   %s\n", imageKind(readModuleImage(toPath(path))).c_str());
  if (fw.PS2EgetLibType != nullptr) {
    const std::uint32_t type = fw.PS2EgetLibType();
    std::printf("type:     %s (%s)\n", hex(type).c_str(),
                type == HUSHLINK_LIB_TYPE ? "FireWire plugin" : "not a FireWire plugin");
  }
  if (fw.PS2EgetLibName != nullptr) {
    const char* name = fw.PS2EgetLibName();
    std::printf("name:     %s\n", name != nullptr ? name : "(null)");
  }
  if (fw.PS2EgetLibVersion2 != nullptr) {
    const std::uint32_t version = fw.PS2EgetLibVersion2(HUSHLINK_LIB_TYPE);
    std::printf("version:  %s (%u.%u.%u)\n", hex(version, 8).c_str(), version >> 16,
                (version >> 8) & 0xff, version & 0xff);
  }
  // Where modules carry export numbers, each entry point must be reachable
  // by its number too, at the same address, and the unused numbers empty.
  const bool numbered = modulesHaveExportNumbers();
  std::printf("entry points:%s\n", numbered ? "        no.  present  by number" : "");
  std::vector<std::string> absent;
  std::vector<std::string> misnumbered;
  for (const EntryPointInfo& entry : kEntryPoints) {
    void* address = plugin.address(entry.name);
    std::printf("  %-20s %2d  %s", entry.name, entry.exportNumber, address ? "yes" : "MISSING");
    if (address == nullptr) absent.push_back(entry.name);
    if (numbered && address != nullptr) {
      const bool same = plugin.addressByNumber(entry.exportNumber) == address;
      std::printf("      %s", same ? "same address" : "DIFFERENT");
      if (!same) misnumbered.push_back(entry.name);
    }
    std::printf("\n");
  }
  if (numbered) {
    std::string unused;
    for (const int number : kUnusedExportNumbers) {
      if (plugin.addressByNumber(number) != nullptr) misnumbered.push_back(std::to_string(number));
      unused += (unused.empty() ? "" : ", ") + std::to_string(number);
    }
    std::printf("  export numbers %s: %s\n", unused.c_str(),
                misnumbered.empty() ? "empty" : "see below");
  }
  if (!absent.empty()) return fail(path + ": missing entry points: " + joined(absent));
  if (!misnumbered.empty()) {
    return fail(path + ": wrong export numbers: " + joined(misnumbered));
  }
  return kExitSuccess;
}

}  // namespace

const Command kInfoCommand = {
    "info",
    "MODULE",
    {},
    "Print the plugin's type, name and version word, and which of the thirteen entry points it "
    "exports.",
    "Where modules carry export numbers (Windows DLLs), each entry point must also be found under "
    "its number, and the unused numbers must be empty.",
    nullptr,
    info};

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host configure: the plugin's Configure, as the emulator's menu
// calls it, in the current directory.
#include <string>

#include "host/command.h"
#include "host/plugin.h"
#include "host/report.h"

namespace hushlink::host {
namespace {

int configure(const Invocation& invocation) {
  const std::string& path = invocation.operands[0];
  Plugin plugin;
  std::string error;
  if (!plugin.load(path, error)) return fail(error);
  const FWconfigureFn configureModule = plugin.entryPoints().FWconfigure;
  if (configureModule == nullptr) return fail(path + ": missing entry point: FWconfigure");
  configureModule();
  return kExitSuccess;
}

}  // namespace

const Command kConfigureCommand = {
    "configure",
    "MODULE",
    {},
    "Call FWconfigure once, in the current directory: the plugin shows its notice, then reads and "
    "rewrites inis/Hushlink.ini.",
    "",
    nullptr,
    configure};

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host configure: the plugin's Configure, as the emulator's menu
// calls it, in the current directory.
#include <string>

#include "host/commands/command.h"
#include "host/commands/report.h"
#include "host/hosted_module.h"
#include "plugin/hushlink.h"

namespace hushlink::host {
namespace {

int configure(const Invocation& invocation) {
  std::string error;
  if (!callOnce(invocation.operands[0], &EntryPoints::FWconfigure, "FWconfigure", error)) {
    return fail(error);
  }
  return kExitSuccess;
}

}  // namespace

const Command kConfigureCommand = {
    "configure",
    "MODULE",
    {},
    "Call FWconfigure once, in the current directory: the plugin shows its notice, then reads and "
    "rewrites " HUSHLINK_SETTINGS_PATH ".",
    "",
    nullptr,
    configure};

}  // namespace hushlink::host

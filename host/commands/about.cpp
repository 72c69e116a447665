// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host about: the plugin's About box, as the emulator's menu shows it.
#include <string>

#include "host/commands/command.h"
#include "host/commands/report.h"
#include "host/hosted_module.h"
#include "plugin/hushlink.h"

namespace hushlink::host {
namespace {

int about(const Invocation& invocation) {
  std::string error;
  if (!callOnce(invocation.operands[0], &EntryPoints::FWabout, "FWabout", error)) {
    return fail(error);
  }
  return kExitSuccess;
}

}  // namespace

const Command kAboutCommand = {
    "about",
    "MODULE",
    {},
    "Call FWabout once: the plugin's About box.",
    "On a desktop the box appears and the command returns when it is closed; without one, the "
    "plugin's own \"" HUSHLINK_MESSAGE_CAPTION ":\" line shows on standard error.",
    nullptr,
    about};

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host's help and version, on standard output. The general help is
// also the source of the manual page (help2man reads it).
#pragma once

#include <span>

#include "host/commands/command.h"

namespace hushlink::host {

void printHelp(std::span<const Command* const> commands);
void printCommandHelp(const Command& command);
void printVersion();

}  // namespace hushlink::host

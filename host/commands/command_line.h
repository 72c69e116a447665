// SPDX-License-Identifier: GPL-2.0-or-later
// The command line the GNU way: options before, between or after the
// operands, "--name VALUE" or "--name=VALUE", and "--" to end the options.
#pragma once

#include <string>
#include <vector>

#include "host/commands/command.h"

namespace hushlink::host {

enum class Parsed { Run, Help, Error };

// Takes apart the arguments after the command's name. Help when -h or
// --help comes before any "--"; Error with a one-line message naming the
// option or operand at fault.
Parsed parseCommandLine(const Command& command, const std::vector<std::string>& arguments,
                        Invocation& invocation, std::string& error);

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// Windows alone passes a child its arguments as one command line, which the
// child's C runtime splits again: each argument must be quoted the way that
// runtime undoes it.
#pragma once

#include <string>

namespace hushlink::host {

// One argument quoted as the C runtime splits a command line: in double
// quotes, with the backslashes before a quote doubled.
std::wstring quotedArgument(const std::wstring& argument);

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// What the module's own copy of the language runtime holds, where it has one.
#pragma once

namespace hushlink {

// Gives back what the runtime linked into the module keeps for the life of
// the module, so that a host loading and unloading it again and again does
// not grow. Called once, as the module is unloaded.
void releaseModuleRuntime();

}  // namespace hushlink

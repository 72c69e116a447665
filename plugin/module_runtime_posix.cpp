// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/module_runtime.h"

namespace hushlink {

// The C++ runtime is the process's shared library, loaded once for every
// module: what it holds is the host's, not ours to free.
void releaseModuleRuntime() {}

}  // namespace hushlink

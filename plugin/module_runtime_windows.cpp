// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/module_runtime.h"

// The C++ runtime's own release hook: frees the emergency pool it keeps for
// exceptions thrown when memory runs out.
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace hushlink {

// The C++ runtime is linked into the DLL, so each load allocates its
// emergency exception pool afresh, and nothing frees it at unload: a host
// that loads and unloads the plugin over and over would lose it each time.
void releaseModuleRuntime() { __gnu_cxx::__freeres(); }

}  // namespace hushlink

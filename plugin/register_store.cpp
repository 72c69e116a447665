// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/register_store.h"

#include <cstdlib>

namespace hushlink {

PluginState pluginState;

bool allocateRegisterStore() {
  void* memory = std::malloc(kStoreSize);
  if (memory == nullptr) return false;
  std::memset(memory, 0, kStoreSize);
  pluginState.registerStore = static_cast<unsigned char*>(memory);
  return true;
}

void releaseRegisterStore() {
  std::free(pluginState.registerStore);
  pluginState.registerStore = nullptr;
}

}  // namespace hushlink

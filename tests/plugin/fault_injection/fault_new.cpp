// SPDX-License-Identifier: GPL-2.0-or-later
// The preloaded fault library's operator new: numbered like the C calls in
// fault_preload.c, and made to fail the way the language has it fail.
#include <dlfcn.h>

#include <cstddef>
#include <new>

extern "C" int hushlinkFaultNew(const void* caller, std::size_t size);

namespace {

using OperatorNew = void* (*)(std::size_t);

OperatorNew runtimeOperatorNew() {
  static const OperatorNew found = reinterpret_cast<OperatorNew>(::dlsym(RTLD_NEXT, "_Znwm"));
  return found;
}

}  // namespace

void* operator new(std::size_t size) {
  if (hushlinkFaultNew(__builtin_return_address(0), size) != 0) throw std::bad_alloc();
  return runtimeOperatorNew()(size);
}

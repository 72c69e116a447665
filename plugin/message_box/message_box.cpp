// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/message_box/message_box.h"

#include <cstdarg>
#include <cstdio>

namespace hushlink {

namespace {
constexpr std::size_t kMessageBufferSize = 512;
}

void showMessage(const char* format, ...) {
  char text[kMessageBufferSize];
  std::va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  displayMessageBox(text);
}

}  // namespace hushlink

// SPDX-License-Identifier: GPL-2.0-or-later
#include <windows.h>

#include "support/message_box.h"

namespace hushlink {

void displayMessageBox(const char* text) {
  // The ANSI call: texts are in the system's 8-bit code page (the About text
  // is GBK), and the box is owned by whatever window the host has active.
  MessageBoxA(GetActiveWindow(), text, kMessageCaption, MB_SETFOREGROUND);
}

}  // namespace hushlink

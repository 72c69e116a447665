// SPDX-License-Identifier: GPL-2.0-or-later
// The modal message box: the plugin's only way to put a text before the user.
#pragma once

#include "plugin/hushlink.h"
#include "plugin/log/log_channel.h"

namespace hushlink {

// Formats the text (at most 511 bytes) and shows it with the caption
// HUSHLINK_MESSAGE_CAPTION and a single OK button; returns once the user has
// dismissed it.
void showMessage(const char* format, ...) HUSHLINK_PRINTF(1, 2);

// The platform's message box for an already formatted text in the system's
// 8-bit code page (GBK for the About text).
void displayMessageBox(const char* text);

}  // namespace hushlink

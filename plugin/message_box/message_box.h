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

// The platform's message box for an already formatted text. Texts are stored
// in the GBK code page (the About text is Chinese; the others are ASCII,
// which GBK leaves as it is): each platform converts them from GBK to what
// its boxes show, whatever the system's own code page.
void displayMessageBox(const char* text);

}  // namespace hushlink

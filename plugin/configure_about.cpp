// SPDX-License-Identifier: GPL-2.0-or-later
// Configure and About: one message box each. There is nothing to configure
// but the logging switch, and that is edited in the settings file by hand.
#include "plugin/hushlink.h"
#include "plugin/message_box/message_box.h"
#include "plugin/settings/settings.h"

namespace {

constexpr const char* kConfigureNotice = "This space intentionally left blank.";

// "Hushlink：纯粹的空插件。", stored in the GBK code page as the host's
// plugins store their texts; the message box converts it for display.
constexpr const char* kAboutText =
    "Hushlink\xA3\xBA\xB4\xBF\xB4\xE2\xB5\xC4\xBF\xD5\xB2\xE5\xBC\xFE\xA1\xA3";

}  // namespace

extern "C" {

void HUSHLINK_CALL FWconfigure(void) {
  try {
    const hushlink::SettingsLoad load = hushlink::loadSettings();
    hushlink::showMessage("%s", kConfigureNotice);
    hushlink::saveSettingsAfter(load);
  } catch (...) {
  }
}

void HUSHLINK_CALL FWabout(void) {
  try {
    hushlink::showMessage("%s", kAboutText);
  } catch (...) {
  }
}

}  // extern "C"

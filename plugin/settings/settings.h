// SPDX-License-Identifier: GPL-2.0-or-later
// The one persisted setting, `logging`, as the plugin holds it, and its load
// and save through the settings file.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/hushlink.h"

namespace hushlink {

struct Settings {
  // Zero: logging off; any other value: on. Kept as read, never folded to 0/1.
  std::int32_t logging;
};

extern Settings settings;

// HUSHLINK_SETTINGS_FOLDER and a "/" from the time the module loads. The
// file name is appended after a further "/", which the file system takes as
// one separator: "inis//Hushlink.ini", which the log names as it is built.
extern std::string settingsDirectory;

std::string settingsPath();

// What a load found.
enum class SettingsLoad {
  Read,       // the value is now the file's
  Created,    // there was no file: one was written with the current value
  LeftAlone,  // the file exists but could not be read: nothing was written
};

// Reads `logging` and sets the log flags from it. A settings file that does
// not exist is written anew with the current value; one that exists but
// cannot be read is left as it is. Either is logged.
SettingsLoad loadSettings();

// Writes the current `logging` value as the file's one line; a save that
// did not happen is logged.
void saveSettings();

// Saves, unless the load found a file it could not read: the value we hold
// may not be the one in there, and writing it over the file would lose the
// user's. That is logged as a save that did not happen.
void saveSettingsAfter(SettingsLoad load);

}  // namespace hushlink

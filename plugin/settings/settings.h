// SPDX-License-Identifier: GPL-2.0-or-later
// The one persisted setting, `logging`, as the plugin holds it, and its load
// and save through the settings file.
#pragma once

#include <cstdint>
#include <string>

namespace hushlink {

struct Settings {
  // Zero: logging off; any other value: on. Kept as read, never folded to 0/1.
  std::int32_t logging;
};

extern Settings settings;

// Set to "inis/" when the module loads; the file name is appended after a
// further "/", which the file system takes as one separator.
extern std::string settingsDirectory;

inline constexpr const char* kDefaultSettingsDirectory = "inis/";
inline constexpr const char* kSettingsFileName = "/Hushlink.ini";

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

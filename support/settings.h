// SPDX-License-Identifier: GPL-2.0-or-later
// The one persisted setting, `logging`, kept in a one-line text file:
//   logging = <signed decimal>
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/text_file.h"

namespace hushlink {

struct Settings {
  // Zero: logging off; any other value: on. Kept as read, never folded to 0/1.
  std::int32_t logging;
};

extern Settings settings;

// Set to "inis/" when the module loads; the file name is appended after a
// further "/", which the file system takes as one separator.
extern std::string settingsDirectory;

inline constexpr const char* kSettingsFileName = "/Hushlink.ini";
inline constexpr const char* kLoggingKey = "logging";

std::string settingsPath();

// The settings file while one load or save has it open. Written content goes
// to a fresh file that replaces the old one only once it is whole, so a crash
// or a full disk never leaves a half-written or empty settings file.
struct SettingsFile {
  std::FILE* handle;
  FileReplacement replacement;  // while open for writing

  bool open(const char* filePath, bool forWriting);
  // Matches "<key> = %d" once at the start of the file with scanf's rules;
  // 0 when no number was matched. Numbers beyond 32 bits saturate. A UTF-8
  // byte-order mark is read past; after a UTF-16 (little-endian) one, the
  // text is read as UTF-16, whose ASCII characters are all the line needs.
  std::int32_t readInt(const char* key);
  void writeInt(const char* key, std::int32_t value);
  // False when written content could not be put in place; the file on disk
  // is then unchanged.
  bool close();
};

// Reads `logging` and sets the log flags from it; when the file cannot be
// read, writes a new one with the current value instead.
void loadSettings();

// Writes the current `logging` value as the file's one line.
void saveSettings();

}  // namespace hushlink

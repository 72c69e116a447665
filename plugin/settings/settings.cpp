// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/settings/settings.h"

#include "plugin/log/log_channel.h"
#include "plugin/settings/settings_file.h"

namespace hushlink {

Settings settings;
std::string settingsDirectory = HUSHLINK_SETTINGS_FOLDER "/";

namespace {

// The path as built, even when building it as a string failed: these lines
// are how a user learns that the settings were not read or not saved. A save
// that did not happen has always been logged with a line end of its own, so
// an empty line follows it: logs already written and the tools that read them
// tell the two messages apart by it.
constexpr const char* kLoadFailed = "";
constexpr const char* kSaveFailed = "\n";

void logOpenFailure(const char* ending) {
  logChannel.writeLine("Failed to open %s/%s%s", settingsDirectory.c_str(),
                       HUSHLINK_SETTINGS_FILE_NAME, ending);
}

}  // namespace

std::string settingsPath() { return settingsDirectory + "/" HUSHLINK_SETTINGS_FILE_NAME; }

SettingsLoad loadSettings() {
  SettingsRead read{ReadOutcome::Unreadable, 0};
  try {
    read = readLogging(settingsPath());
  } catch (...) {
  }
  switch (read.outcome) {
    case ReadOutcome::Read:
      settings.logging = read.logging;
      logChannel.setFlags(settings.logging != 0);
      return SettingsLoad::Read;
    case ReadOutcome::Missing:
      logOpenFailure(kLoadFailed);
      saveSettings();
      return SettingsLoad::Created;
    case ReadOutcome::Unreadable:
      // The user's value may well be in there: writing the one in memory
      // over it would lose it.
      logOpenFailure(kLoadFailed);
      return SettingsLoad::LeftAlone;
  }
  return SettingsLoad::LeftAlone;
}

void saveSettings() {
  SaveOutcome outcome = SaveOutcome::Failed;
  try {
    outcome = writeLogging(settingsPath(), settings.logging);
  } catch (...) {
  }
  if (!saved(outcome)) logOpenFailure(kSaveFailed);
}

void saveSettingsAfter(SettingsLoad load) {
  if (load == SettingsLoad::LeftAlone) {
    logOpenFailure(kSaveFailed);
    return;
  }
  saveSettings();
}

}  // namespace hushlink

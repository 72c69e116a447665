// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/settings.h"

#include <algorithm>
#include <limits>

#include "support/log_channel.h"
#include "support/text_file.h"

namespace hushlink {

Settings settings;
std::string settingsDirectory = "inis/";

namespace {

SettingsFile settingsFile;

// scanf's white space, in the C locale whatever the host set.
bool isScanSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void skipSpace(std::FILE* file) {
  int c;
  do {
    c = std::getc(file);
  } while (isScanSpace(c));
  if (c != EOF) std::ungetc(c, file);
}

bool matchLiteral(std::FILE* file, char expected) {
  const int c = std::getc(file);
  if (c == static_cast<unsigned char>(expected)) return true;
  if (c != EOF) std::ungetc(c, file);
  return false;
}

// %d: white space, an optional sign, at least one decimal digit. Digits go on
// being consumed past the 32-bit range; the value stays at the nearest limit.
bool scanDecimal(std::FILE* file, std::int32_t& value) {
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  skipSpace(file);
  const bool negative = matchLiteral(file, '-');
  if (!negative) matchLiteral(file, '+');
  std::int64_t magnitude = 0;
  bool anyDigit = false;
  int c;
  while ((c = std::getc(file)) >= '0' && c <= '9') {
    anyDigit = true;
    magnitude = std::min(magnitude * 10 + (c - '0'), kLimit);
  }
  if (c != EOF) std::ungetc(c, file);
  if (!anyDigit) return false;
  value = static_cast<std::int32_t>(negative ? -magnitude : std::min(magnitude, kLimit - 1));
  return true;
}

// The settings format is the key followed by " = %d": literal characters must
// match exactly, each space matches any run of white space (even none).
bool scanSetting(std::FILE* file, const std::string& format, std::int32_t& value) {
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 'd') {
      return scanDecimal(file, value);
    }
    if (isScanSpace(static_cast<unsigned char>(format[i]))) {
      skipSpace(file);
    } else if (!matchLiteral(file, format[i])) {
      return false;
    }
  }
  return false;
}

}  // namespace

std::string settingsPath() { return settingsDirectory + kSettingsFileName; }

bool SettingsFile::open(const char* filePath, bool forWriting) {
  path = filePath;
  replacementPath.clear();
  handle = forWriting ? beginReplacement(filePath, replacementPath)
                      : openTextFile(filePath, TextFileMode::Read);
  return handle != nullptr;
}

std::int32_t SettingsFile::readInt(const char* key) {
  std::int32_t value = 0;
  if (handle != nullptr) scanSetting(handle, std::string(key) + " = %d\n", value);
  return value;
}

void SettingsFile::writeInt(const char* key, std::int32_t value) {
  if (handle != nullptr) std::fprintf(handle, "%s = %d\n", key, value);
}

bool SettingsFile::close() {
  if (handle == nullptr) return true;
  std::FILE* file = handle;
  handle = nullptr;
  if (replacementPath.empty()) return std::fclose(file) == 0;
  return commitReplacement(file, replacementPath, path.c_str());
}

void loadSettings() {
  const std::string path = settingsPath();
  if (!settingsFile.open(path.c_str(), false)) {
    logChannel.writeLine("Failed to open %s", path.c_str());
    saveSettings();
    return;
  }
  settings.logging = settingsFile.readInt(kLoggingKey);
  logChannel.setFlags(settings.logging != 0);
  settingsFile.close();
}

void saveSettings() {
  const std::string path = settingsPath();
  bool saved = settingsFile.open(path.c_str(), true);
  if (saved) {
    settingsFile.writeInt(kLoggingKey, settings.logging);
    saved = settingsFile.close();
  }
  if (!saved) logChannel.writeLine("Failed to open %s\n", path.c_str());
}

}  // namespace hushlink

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

// The file's characters, one at a time, with up to three pushed back. A
// UTF-8 byte-order mark at the start is passed over. After a UTF-16
// little-endian mark each code unit is one character: an ASCII one as
// itself, any other as a byte that matches nothing in the line.
class SettingsText {
 public:
  static constexpr int kEnd = EOF;

  explicit SettingsText(std::FILE* file) : file_(file) {
    const int first = std::getc(file_);
    if (first == 0xFF) {
      const int second = std::getc(file_);
      if (second == 0xFE) {
        utf16_ = true;
        return;
      }
      unget(second);
    } else if (first == 0xEF) {
      const int second = std::getc(file_);
      if (second == 0xBB) {
        const int third = std::getc(file_);
        if (third == 0xBF) return;
        unget(third);
      }
      unget(second);
    }
    unget(first);
  }

  int get() {
    if (pushedBack_ > 0) return pending_[--pushedBack_];
    if (!utf16_) return std::getc(file_);
    const int low = std::getc(file_);
    const int high = std::getc(file_);
    if (low == EOF || high == EOF) return kEnd;
    const int unit = low | high << 8;
    return unit < 0x80 ? unit : kNoMatch;
  }

  void unget(int c) {
    if (c != kEnd && pushedBack_ < kMostPending) pending_[pushedBack_++] = c;
  }

 private:
  static constexpr int kNoMatch = 0xFF;
  static constexpr int kMostPending = 3;
  std::FILE* file_;
  bool utf16_ = false;
  int pending_[kMostPending] = {};
  int pushedBack_ = 0;
};

// scanf's white space, in the C locale whatever the host set.
bool isScanSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void skipSpace(SettingsText& text) {
  int c;
  do {
    c = text.get();
  } while (isScanSpace(c));
  text.unget(c);
}

bool matchLiteral(SettingsText& text, char expected) {
  const int c = text.get();
  if (c == static_cast<unsigned char>(expected)) return true;
  text.unget(c);
  return false;
}

// %d: white space, an optional sign, at least one decimal digit. Digits go on
// being consumed past the 32-bit range; the value stays at the nearest limit.
bool scanDecimal(SettingsText& text, std::int32_t& value) {
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  skipSpace(text);
  const bool negative = matchLiteral(text, '-');
  if (!negative) matchLiteral(text, '+');
  std::int64_t magnitude = 0;
  bool anyDigit = false;
  int c;
  while ((c = text.get()) >= '0' && c <= '9') {
    anyDigit = true;
    magnitude = std::min(magnitude * 10 + (c - '0'), kLimit);
  }
  text.unget(c);
  if (!anyDigit) return false;
  value = static_cast<std::int32_t>(negative ? -magnitude : std::min(magnitude, kLimit - 1));
  return true;
}

// The settings format is the key followed by " = %d": literal characters must
// match exactly, each space matches any run of white space (even none).
bool scanSetting(SettingsText& text, const std::string& format, std::int32_t& value) {
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 'd') {
      return scanDecimal(text, value);
    }
    if (isScanSpace(static_cast<unsigned char>(format[i]))) {
      skipSpace(text);
    } else if (!matchLiteral(text, format[i])) {
      return false;
    }
  }
  return false;
}

}  // namespace

std::string settingsPath() { return settingsDirectory + kSettingsFileName; }

bool SettingsFile::open(const char* filePath, bool forWriting) {
  handle = forWriting ? beginReplacement(filePath, replacement)
                      : openTextFile(filePath, TextFileMode::Read);
  if (!forWriting) replacement = {};
  return handle != nullptr;
}

std::int32_t SettingsFile::readInt(const char* key) {
  std::int32_t value = 0;
  if (handle == nullptr) return value;
  SettingsText text(handle);
  scanSetting(text, std::string(key) + " = %d\n", value);
  return value;
}

void SettingsFile::writeInt(const char* key, std::int32_t value) {
  if (handle != nullptr) std::fprintf(handle, "%s = %d\n", key, value);
}

bool SettingsFile::close() {
  if (handle == nullptr) return true;
  std::FILE* file = handle;
  handle = nullptr;
  if (replacement.target.empty()) return std::fclose(file) == 0;
  return commitReplacement(file, replacement);
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

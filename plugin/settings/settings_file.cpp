// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/settings/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "plugin/settings/file_system.h"

namespace hushlink {

namespace {

using files::FileHandle;
using files::Result;

// The file's characters, one at a time, with up to three pushed back. A
// UTF-8 byte-order mark at the start is passed over. After a UTF-16
// little-endian mark each code unit is one character: an ASCII one as
// itself, any other as a byte that matches nothing in the line.
class SettingsText {
 public:
  static constexpr int kEnd = -1;

  explicit SettingsText(const FileHandle& file) : file_(file) {
    const int first = nextByte();
    if (first == 0xFF) {
      const int second = nextByte();
      if (second == 0xFE) {
        utf16_ = true;
        return;
      }
      unget(second);
    } else if (first == 0xEF) {
      const int second = nextByte();
      if (second == 0xBB) {
        const int third = nextByte();
        if (third == 0xBF) return;
        unget(third);
      }
      unget(second);
    }
    unget(first);
  }

  int get() {
    if (pushedBack_ > 0) return pending_[--pushedBack_];
    if (!utf16_) return nextByte();
    const int low = nextByte();
    const int high = nextByte();
    if (low == kEnd || high == kEnd) return kEnd;
    const int unit = low | high << 8;
    return unit < 0x80 ? unit : kNoMatch;
  }

  void unget(int c) {
    if (c != kEnd && pushedBack_ < kMostPending) pending_[pushedBack_++] = c;
  }

  // A read that failed ends the text early: what was matched is not to be
  // trusted.
  bool failed() const { return failed_; }

 private:
  static constexpr int kNoMatch = 0xFF;
  static constexpr int kMostPending = 3;

  int nextByte() {
    if (next_ == end_) {
      if (failed_ || atEnd_) return kEnd;
      const long size = files::readSome(file_, buffer_, sizeof buffer_);
      if (size <= 0) {
        failed_ = size < 0;
        atEnd_ = true;
        return kEnd;
      }
      next_ = 0;
      end_ = static_cast<std::size_t>(size);
    }
    return static_cast<unsigned char>(buffer_[next_++]);
  }

  const FileHandle& file_;
  char buffer_[4096];
  std::size_t next_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  bool failed_ = false;
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

// "<key> = %d": the key's characters exactly, then white space, "=", white
// space (each run possibly empty) and the number.
std::int32_t scanLogging(SettingsText& text) {
  for (const char* key = HUSHLINK_LOGGING_KEY; *key != '\0'; ++key) {
    if (!matchLiteral(text, *key)) return 0;
  }
  skipSpace(text);
  if (!matchLiteral(text, '=')) return 0;
  std::int32_t value = 0;
  return scanDecimal(text, value) ? value : 0;
}

// The host's errno is its own: the file calls below leave it as they found it.
class ErrnoKept {
 public:
  ErrnoKept() : saved_(errno) {}
  ~ErrnoKept() { errno = saved_; }
  ErrnoKept(const ErrnoKept&) = delete;
  ErrnoKept& operator=(const ErrnoKept&) = delete;

 private:
  int saved_;
};

}  // namespace

SettingsRead readLogging(const std::string& path) noexcept {
  const ErrnoKept errnoKept;
  try {
    FileHandle file;
    switch (files::openForReading(path, file)) {
      case Result::Done:
        break;
      case Result::Missing:
        return {ReadOutcome::Missing, 0};
      case Result::Refused:
      case Result::Failed:
        return {ReadOutcome::Unreadable, 0};
    }
    SettingsText text(file);
    const std::int32_t value = scanLogging(text);
    if (text.failed()) return {ReadOutcome::Unreadable, 0};
    return {ReadOutcome::Read, value};
  } catch (...) {
    return {ReadOutcome::Unreadable, 0};
  }
}

SaveOutcome writeLogging(const std::string& path, std::int32_t value) noexcept {
  const ErrnoKept errnoKept;
  try {
    char line[64];
    const int size = std::snprintf(line, sizeof line, "%s = %d%s", HUSHLINK_LOGGING_KEY, value,
                                   files::kTextLineEnd);
    return saveWholeFile(path, std::string(line, static_cast<std::size_t>(size)));
  } catch (...) {
    return SaveOutcome::Failed;
  }
}

}  // namespace hushlink

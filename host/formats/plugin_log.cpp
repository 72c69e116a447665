// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/formats/plugin_log.h"

#include <cstring>
#include <filesystem>
#include <iostream>

#include "host/system/platform.h"
#include "plugin/hushlink.h"

namespace hushlink::host {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReadPrefix = HUSHLINK_READ_LINE_PREFIX " 0x";
constexpr const char* kWritePrefix = HUSHLINK_WRITE_LINE_PREFIX " 0x";
constexpr const char* kInitLine = HUSHLINK_SESSION_START_LINE;
constexpr const char* kUtf8Mark = "\xEF\xBB\xBF";

// 1 to 8 hex digits at `text`, advancing it past them.
bool parseHex(const char*& text, std::uint32_t& value) {
  value = 0;
  int digits = 0;
  for (;; ++text, ++digits) {
    const char c = *text;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (digits == 8) return false;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return digits > 0;
}

bool startsWith(const std::string& line, const char* prefix, std::size_t length) {
  return line.compare(0, length, prefix, length) == 0;
}

}  // namespace

bool PluginLog::open(const std::string& source, std::string& error) {
  if (source == "-") {
    name_ = "<stdin>";
    stream_ = &std::cin;
    return true;
  }
  name_ = source;
  const fs::path path = toPath(source);
  std::error_code failed;
  if (fs::is_directory(path, failed)) {
    error = source + ": cannot read log: it is a folder";
    return false;
  }
  file_.open(path, std::ios::binary);
  if (!file_) {
    error = source + ": cannot read log";
    return false;
  }
  // Pipes and other streams have no size.
  if (fs::is_regular_file(path, failed)) {
    const std::uintmax_t size = fs::file_size(path, failed);
    size_ = failed ? 0 : size;
  }
  stream_ = &file_;
  return true;
}

bool PluginLog::next(LogRecord& record) {
  static const std::size_t kReadLength = std::strlen(kReadPrefix);
  static const std::size_t kWriteLength = std::strlen(kWritePrefix);
  while (std::getline(*stream_, line_)) {
    ++lineNumber_;
    consumed_ += line_.size() + 1;
    if (lineNumber_ == 1 && startsWith(line_, kUtf8Mark, 3)) line_.erase(0, 3);
    while (!line_.empty() && line_.back() == '\r') line_.pop_back();

    const bool isRead = startsWith(line_, kReadPrefix, kReadLength);
    if (!isRead && !startsWith(line_, kWritePrefix, kWriteLength)) {
      if (line_ != kInitLine) continue;
      pluginLines_ = true;
      record = {LogRecord::Kind::SessionStart, 0, 0, lineNumber_};
      return true;
    }
    const char* text = line_.c_str() + (isRead ? kReadLength : kWriteLength);
    record.kind = isRead ? LogRecord::Kind::Read : LogRecord::Kind::Write;
    record.line = lineNumber_;
    bool wellFormed = parseHex(text, record.address) && std::strncmp(text, ": 0x", 4) == 0;
    if (wellFormed) {
      text += 4;
      wellFormed = parseHex(text, record.value) && *text == '\0';
    }
    if (!wellFormed) {
      error_ = name_ + ":" + std::to_string(lineNumber_) + ": not a register access line: " + line_;
      return false;
    }
    pluginLines_ = true;
    return true;
  }
  if (stream_->bad()) {
    error_ = name_ + ": read error";
  } else if (!pluginLines_) {
    error_ = "no plugin log lines in " + name_;
  }
  return false;
}

}  // namespace hushlink::host

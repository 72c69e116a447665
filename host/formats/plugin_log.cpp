// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/formats/plugin_log.h"

#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "host/system/platform.h"

namespace hushlink::host {
namespace {

namespace fs = std::filesystem;

// The lines read, as the plugin writes them: "FW read mem 0xADDRESS: 0xVALUE",
// "FW write mem 0xADDRESS: 0xVALUE" and "Initializing Hushlink". The
// harness names them here alone.
constexpr std::string_view kReadPrefix = "FW read mem 0x";
constexpr std::string_view kWritePrefix = "FW write mem 0x";
constexpr std::string_view kSeparator = ": 0x";  // between the address and the value
constexpr std::string_view kInitLine = "Initializing Hushlink";
constexpr std::string_view kHexMark = "0x";
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

bool startsWith(std::string_view line, std::string_view prefix) {
  return line.substr(0, prefix.size()) == prefix;
}

// Whether `line` is a proper piece of `whole`: its start, not empty.
bool isPieceOf(std::string_view line, std::string_view whole) {
  return !line.empty() && line.size() < whole.size() && startsWith(whole, line);
}

// Whether `text`, all of a line after "FW read mem 0x" or "FW write mem 0x"
// that is no access, stops partway through what a whole one holds there,
// "ADDRESS: 0xVALUE" with 1 to 8 hex digits in each: a line cut short,
// where anything else would be a garbled one. (A line cut inside its value
// holds a whole access and is read as one: nothing in the log tells them
// apart.)
bool stopsPartway(const char* text) {
  if (*text == '\0') return true;
  std::uint32_t address;
  if (!parseHex(text, address)) return false;
  const std::string_view rest = text;
  return rest.size() < kSeparator.size() && startsWith(kSeparator, rest);
}

// Whether `line`, which is neither an access nor a session start, is a
// piece of one: the rest of its line never reached the log. A piece of
// another plugin line ("Hushlink plugin version 0,6", "Opening Hushlink.",
// "Closing Hushlink.") is not: those lines carry no access and no session
// start, so passing over a piece of one loses nothing that the whole line
// would have given, and none of them begins as an access or a session
// start does, so no piece of one is taken for a piece of those.
bool isCutShort(const std::string& line) {
  if (isPieceOf(line, kReadPrefix) || isPieceOf(line, kWritePrefix)) return true;
  if (isPieceOf(line, kInitLine)) return true;
  const bool isRead = startsWith(line, kReadPrefix);
  if (!isRead && !startsWith(line, kWritePrefix)) return false;
  return stopsPartway(line.c_str() + (isRead ? kReadPrefix : kWritePrefix).size());
}

}  // namespace

std::string_view accessLineStart(LogRecord::Kind kind) {
  const std::string_view prefix = kind == LogRecord::Kind::Read ? kReadPrefix : kWritePrefix;
  return prefix.substr(0, prefix.size() - kHexMark.size());
}

bool PluginLog::refuse(LineFault fault) {
  const std::string number = std::to_string(lineNumber_);
  error_ = fault == LineFault::CutShort
               ? name_ + ": line " + number + " is cut short: " + line_
               : name_ + ":" + number + ": not a register access line: " + line_;
  return false;
}

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
  while (std::getline(*stream_, line_)) {
    ++lineNumber_;
    consumed_ += line_.size() + 1;
    if (lineNumber_ == 1 && startsWith(line_, kUtf8Mark)) line_.erase(0, 3);
    while (!line_.empty() && line_.back() == '\r') line_.pop_back();

    const bool isRead = startsWith(line_, kReadPrefix);
    if (!isRead && !startsWith(line_, kWritePrefix)) {
      if (line_ == kInitLine) {
        pluginLines_ = true;
        record = {LogRecord::Kind::SessionStart, 0, 0, lineNumber_};
        return true;
      }
      // A piece of a session start would drop a session without a word.
      if (isCutShort(line_)) return refuse(LineFault::CutShort);
      continue;
    }
    const char* text = line_.c_str() + (isRead ? kReadPrefix : kWritePrefix).size();
    record.kind = isRead ? LogRecord::Kind::Read : LogRecord::Kind::Write;
    record.line = lineNumber_;
    bool wellFormed = parseHex(text, record.address) && startsWith(text, kSeparator);
    if (wellFormed) {
      text += kSeparator.size();
      wellFormed = parseHex(text, record.value) && *text == '\0';
    }
    // Neither a cut record nor a garbled one is evidence: both are refused.
    if (!wellFormed) return refuse(isCutShort(line_) ? LineFault::CutShort : LineFault::Garbled);
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

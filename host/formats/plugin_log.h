// SPDX-License-Identifier: GPL-2.0-or-later
// A log the plugin wrote, read for its register accesses and session starts:
// "FW read mem 0xADDRESS: 0xVALUE", "FW write mem 0xADDRESS: 0xVALUE" and
// "Initializing Hushlink". Other lines are passed over, but not a piece of
// one of those, whose rest never reached the log. Logs arrive with LF, CR LF
// or the CR CR LF of a text-mode copy made twice, sometimes behind a UTF-8
// byte-order mark, and several sessions may be joined in one file.
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <string>
#include <string_view>

namespace hushlink::host {

struct LogRecord {
  enum class Kind { SessionStart, Read, Write };
  Kind kind;
  std::uint32_t address;  // for a read or a write, as logged
  std::uint32_t value;    // the value read or written
  std::uint64_t line;     // from 1
};

// How a read or a write's line begins, before its address: "FW read mem "
// or "FW write mem ", for messages that quote an access.
std::string_view accessLineStart(LogRecord::Kind kind);

class PluginLog {
 public:
  // `source` is a path in UTF-8, or "-" for standard input. False, with a
  // one-line error, when it cannot be read.
  bool open(const std::string& source, std::string& error);

  // The next access or session start. False at the end of the log, and on
  // the first line that is a piece of an access or a session start ("LOG:
  // line N is cut short: TEXT") or starts like an access but is not one
  // ("LOG:N: not a register access line: TEXT"), on a read error, or when
  // the whole log held no plugin line: error() then says so.
  bool next(LogRecord& record);
  const std::string& error() const { return error_; }

  // The log as messages name it: the path given, or "<stdin>".
  const std::string& name() const { return name_; }
  // Its size in bytes when known (a regular file), else 0; and the bytes
  // read so far, for a progress line.
  std::uintmax_t size() const { return size_; }
  std::uintmax_t consumed() const { return consumed_; }

 private:
  enum class LineFault { CutShort, Garbled };
  // Says what is wrong with the current line; false.
  bool refuse(LineFault fault);

  std::ifstream file_;
  std::istream* stream_ = nullptr;
  std::string name_;
  std::uintmax_t size_ = 0;
  std::uintmax_t consumed_ = 0;
  std::uint64_t lineNumber_ = 0;
  bool pluginLines_ = false;
  std::string line_;
  std::string error_;
};

}  // namespace hushlink::host

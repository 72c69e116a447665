// SPDX-License-Identifier: GPL-2.0-or-later
// The plugin's diagnostic output: one line per event to the log file and to
// standard output, and alerts in a message box while the log file is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#define HUSHLINK_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))

namespace hushlink {

inline constexpr const char* kLogPath = "logs/Hushlink.log";

struct LogChannel {
  bool toFile;
  bool toConsole;
  std::FILE* file;

  // Opens (creating or truncating) the log file; false when it cannot be.
  bool open(const char* path);
  // Closes the log file, if one is open.
  void close();
  void setFlags(bool enabled) { toFile = toConsole = enabled; }

  // Writes the formatted text and a newline to each enabled output. Nothing is
  // written anywhere while no log file is open.
  void writeLine(const char* format, ...) HUSHLINK_PRINTF(2, 3);

  // Writes "<text>0x<address>: 0x<value>" like writeLine with the format
  // "<text>0x%x: 0x%x", without the cost of printf: every register access
  // writes one while logging is on.
  void writeAccessLine(const char* text, std::uint32_t address, std::uint32_t value);

  // Whether a line would go anywhere. Register accesses ask first, so that
  // with logging off they cost no call and no formatting.
  bool isWriting() const { return (file != nullptr) & (toFile | toConsole); }

  // Shows the formatted text (at most 255 bytes) in a message box, but only
  // while a log file is open. The text is not written to the log.
  void alert(const char* format, ...) HUSHLINK_PRINTF(2, 3);

 private:
  // Hands a finished line, newline included, to each enabled output.
  void emit(const char* line, std::size_t size);

  // Hands a line to the log file; a line cut short there is taken back, or
  // where it cannot be, ended before the next one goes (or that one is
  // dropped too). Standard output, a stream, is never taken back.
  void emitToFile(const char* line, std::size_t size);

  // Learnt when the log is opened: which outputs are pipes or sockets, whose
  // writes must not raise SIGPIPE in the host; and which pipe has lost its
  // reader, after which its copy of the lines stops until the next open.
  bool fileIsPipe;
  bool consoleIsPipe;
  bool fileBroken;
  bool consoleBroken;
  // The file's last line was cut short, could not be taken back, and still
  // lacks its line end.
  bool fileCut;
};

// Zero-initialised when the module loads: no file, both outputs off.
extern LogChannel logChannel;

}  // namespace hushlink

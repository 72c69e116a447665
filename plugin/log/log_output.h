// SPDX-License-Identifier: GPL-2.0-or-later
// The log's two outputs as the platform writes them: the log file, which
// several sessions may share, and the host's standard output, which may be a
// pipe whose reader has gone. Nothing here may disturb the host's process.
#pragma once

#include <cstddef>
#include <cstdio>

namespace hushlink {

// Creates or empties the log file at `path` and opens it for appending, so
// that lines of two sessions sharing the file land whole at its end. The file
// never takes descriptor 0, 1 or 2 (even when the host has closed them), and
// programs the plugin starts do not inherit it. Null when it cannot be opened;
// a directory is never opened as a file.
std::FILE* openLogFile(const char* path);

// Closes the log file and gives back what was held for it.
void closeLogFile(std::FILE* file);

// Whether a write to `stream` can raise SIGPIPE: it is a pipe or a socket.
bool writesCanRaiseSigpipe(std::FILE* stream);

// What became of a line handed to the log file.
struct LineWritten {
  std::size_t bytes;  // how much of the line reached the file
  bool readerGone;    // the file is a pipe whose reader has gone
};

// Hands one whole line (text and newline) to the operating system in a single
// write, past the stream's own buffer, going on after a short write. With
// `guardSigpipe`, the SIGPIPE such a write raises never reaches the host.
LineWritten writeWholeLine(std::FILE* file, const char* line, std::size_t size, bool guardSigpipe);

// Ends a line that was cut short (a full disk), so that the next line does
// not run on from it. False when the line end could not be written either.
bool endCutLine(std::FILE* file, bool guardSigpipe);

// Copies a line to standard output as the platform's stream has it. False
// when standard output is a pipe whose reader has gone; `guardSigpipe` as
// above.
bool writeConsoleLine(const char* line, std::size_t size, bool guardSigpipe);

}  // namespace hushlink

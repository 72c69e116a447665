// SPDX-License-Identifier: GPL-2.0-or-later
// The log's two outputs as the platform writes them: the log file, which
// several sessions may share, and the host's standard output, which may be a
// pipe whose reader has gone. Nothing here may disturb the host's process.
#pragma once

#include <cstddef>
#include <cstdint>
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
  std::size_t bytes = 0;    // how much of the line reached the file
  bool readerGone = false;  // the file is a pipe whose reader has gone
  // Where the piece of a line that was cut short lies in the file, in the
  // file's own bytes: from the line's first byte to just past its last one
  // written. Learnt from the writes that came back short, and only from
  // them; -1 when not known, or when the piece did not land as one run of
  // bytes (another session's line came between its parts).
  std::int64_t pieceStart = -1;
  std::int64_t pieceEnd = -1;

  // Notes that `size` bytes of the line, after the `before` bytes already
  // written, landed just before the file offset `end` (-1: not known).
  void placed(std::size_t before, std::size_t size, std::int64_t end) {
    const std::int64_t start = end - static_cast<std::int64_t>(size);
    if (end < 0 || start < 0 || (before > 0 && (pieceEnd < 0 || start != pieceEnd))) {
      pieceStart = pieceEnd = -1;
      return;
    }
    if (before == 0) pieceStart = start;
    pieceEnd = end;
  }
};

// Hands one whole line (text and newline) to the operating system in a single
// write, past the stream's own buffer, going on after a short write. With
// `guardSigpipe`, the SIGPIPE such a write raises never reaches the host.
// A write that goes through whole is the only call made; after one that
// moves only part of the line, where that part landed is asked as well.
LineWritten writeWholeLine(std::FILE* file, const char* line, std::size_t size, bool guardSigpipe);

// Takes back the piece of a line that was cut short (the rest found the
// disk full), cutting the file to where the line began, so that the log
// holds whole lines only. Done only where the file still ends exactly where
// the piece ends, so that another session's line is never cut: false, with
// the file left as it was, when that is not so, when where the piece lies
// is not known, or when the file cannot be cut (a pipe).
bool takeBackCutLine(std::FILE* file, const LineWritten& written);

// Ends a line that was cut short (a full disk) and could not be taken back,
// so that the next line does not run on from it. False when the line end
// could not be written either.
bool endCutLine(std::FILE* file, bool guardSigpipe);

// Copies a line to standard output as the platform's stream has it. False
// when standard output is a pipe whose reader has gone; `guardSigpipe` as
// above.
bool writeConsoleLine(const char* line, std::size_t size, bool guardSigpipe);

}  // namespace hushlink

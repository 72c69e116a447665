// SPDX-License-Identifier: GPL-2.0-or-later
// Text files as the platform opens them: text mode (CR LF line ends on
// Windows), not inherited by programs the plugin starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace hushlink {

enum class TextFileMode { Read, Write };

// Opens `path` for reading, or for writing after creating or truncating it.
// Null when the file cannot be opened; a directory is never opened as a file.
std::FILE* openTextFile(const char* path, TextFileMode mode);

// A file being written anew. The new content goes to a fresh file beside the
// file that `path` finally names (links followed), which then takes that
// file's place whole, keeping what the file carries (permissions, owner,
// extended attributes; on Windows attributes and security). The fresh file
// has one fixed name per file, held by one saver at a time: two saves at
// once leave one whole content, and however often a save is cut short, at
// most one leftover sits beside the file, which the next save takes over.
struct FileReplacement {
  std::string target;       // the file that is replaced, links followed
  std::string temporary;    // the fresh file; empty when rewriting in place
  std::intptr_t hold = -1;  // the platform's hold on the fresh file's name
};

// Opens the file that receives the new content. Null when `path` could not
// have been written in place either (a read-only file, a directory, a missing
// folder): nothing is then changed.
std::FILE* beginReplacement(const char* path, FileReplacement& replacement);

// Flushes the new content to disk and puts it in place. On any failure the
// file at `path` is left as it was.
bool commitReplacement(std::FILE* file, FileReplacement& replacement);

}  // namespace hushlink

// SPDX-License-Identifier: GPL-2.0-or-later
// Text files as the platform opens them: text mode (CR LF line ends on
// Windows), not inherited by programs the plugin starts.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace hushlink {

enum class TextFileMode { Read, Write };

// Opens `path` for reading, or for writing after creating or truncating it.
// Null when the file cannot be opened; a directory is never opened as a file.
std::FILE* openTextFile(const char* path, TextFileMode mode);

// Writing a file that is replaced whole or not at all: the new content goes
// to a fresh file beside `path`, which `commitReplacement` then moves into
// place. Null when `path` could not be written (a read-only file, one that is
// a directory, a missing directory); `temporaryPath` names the fresh file.
std::FILE* beginReplacement(const char* path, std::string& temporaryPath);

// Flushes the new content to disk and moves it over `path`. On any failure
// the fresh file is removed and `path` is left exactly as it was.
bool commitReplacement(std::FILE* file, const std::string& temporaryPath, const char* path);

}  // namespace hushlink

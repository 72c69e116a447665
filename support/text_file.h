// Text files as the platform opens them: text mode (CR LF line ends on
// Windows), not inherited by programs the plugin starts.
#pragma once

#include <cstddef>
#include <cstdio>

namespace hushlink {

enum class TextFileMode { Read, Write };

// Opens `path` for reading, or for writing after creating or truncating it.
// Null when the file cannot be opened.
std::FILE* openTextFile(const char* path, TextFileMode mode);

// Hands one whole line (text and newline) to the operating system in a single
// write, past the stream's own buffer. Errors are not reported.
void writeWholeLine(std::FILE* file, const char* line, std::size_t size);

}  // namespace hushlink

#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "support/text_file.h"

namespace hushlink {

std::FILE* openTextFile(const char* path, TextFileMode mode) {
  // "t" whatever the host set as its default file mode; "N": not inherited.
  return std::fopen(path, mode == TextFileMode::Write ? "wtN" : "rtN");
}

void writeWholeLine(std::FILE* file, const char* line, std::size_t size) {
  // Text mode's line ends, translated here so that the line (text and CR LF)
  // still reaches the file in a single WriteFile.
  std::size_t newlines = 0;
  for (std::size_t i = 0; i < size; ++i) newlines += line[i] == '\n';
  char stackBuffer[1024];
  const std::size_t translatedSize = size + newlines;
  char* translated = translatedSize <= sizeof stackBuffer
                         ? stackBuffer
                         : static_cast<char*>(std::malloc(translatedSize));
  if (translated == nullptr) return;
  std::size_t out = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (line[i] == '\n') translated[out++] = '\r';
    translated[out++] = line[i];
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  const char* next = translated;
  std::size_t left = translatedSize;
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    if (!WriteFile(handle, next, chunk, &written, nullptr) || written == 0) break;
    next += written;
    left -= written;
  }
  if (translated != stackBuffer) std::free(translated);
}

}  // namespace hushlink

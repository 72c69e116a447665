#include <unistd.h>

#include <cerrno>

#include "support/text_file.h"

namespace hushlink {

std::FILE* openTextFile(const char* path, TextFileMode mode) {
  // "e": the descriptor must not leak into a dialog program we start.
  return std::fopen(path, mode == TextFileMode::Write ? "we" : "re");
}

void writeWholeLine(std::FILE* file, const char* line, std::size_t size) {
  const int descriptor = fileno(file);
  while (size > 0) {
    const ssize_t written = ::write(descriptor, line, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    line += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace hushlink

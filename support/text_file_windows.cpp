// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/text_file.h"

namespace hushlink {

std::FILE* openTextFile(const char* path, TextFileMode mode) {
  // "t" whatever the host set as its default file mode; "N": not inherited.
  return std::fopen(path, mode == TextFileMode::Write ? "wtN" : "rtN");
}

std::FILE* beginReplacement(const char* path, std::string& temporaryPath) {
  const DWORD attributes = GetFileAttributesA(path);
  // Replace only what could have been overwritten in place.
  if (attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return nullptr;
  }
  static unsigned attempt = 0;
  for (int tries = 0; tries < 100; ++tries) {
    temporaryPath = std::string(path) + ".new-" + std::to_string(GetCurrentProcessId()) + "-" +
                    std::to_string(++attempt);
    const int descriptor =
        _open(temporaryPath.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT | _O_NOINHERIT,
              _S_IREAD | _S_IWRITE);
    if (descriptor < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    std::FILE* file = _fdopen(descriptor, "wt");
    if (file == nullptr) {
      _close(descriptor);
      DeleteFileA(temporaryPath.c_str());
    }
    return file;
  }
  return nullptr;
}

bool commitReplacement(std::FILE* file, const std::string& temporaryPath, const char* path) {
  bool written = std::fflush(file) == 0 && !std::ferror(file) && _commit(_fileno(file)) == 0;
  written = std::fclose(file) == 0 && written;
  if (written && MoveFileExA(temporaryPath.c_str(), path,
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  DeleteFileA(temporaryPath.c_str());
  return false;
}

}  // namespace hushlink

// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "support/text_file.h"

namespace hushlink {

std::FILE* openTextFile(const char* path, TextFileMode mode) {
  // "e": the descriptor must not leak into a dialog program we start.
  std::FILE* file = std::fopen(path, mode == TextFileMode::Write ? "we" : "re");
  struct stat info;
  if (file != nullptr && ::fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    // Linux opens a directory for reading; it holds no settings all the same.
    std::fclose(file);
    errno = EISDIR;
    return nullptr;
  }
  return file;
}

std::FILE* beginReplacement(const char* path, std::string& temporaryPath) {
  struct stat target;
  const bool exists = ::stat(path, &target) == 0;
  // Replace only what could have been overwritten in place.
  if (exists && (S_ISDIR(target.st_mode) || ::access(path, W_OK) != 0)) return nullptr;
  static unsigned attempt = 0;
  for (int tries = 0; tries < 100; ++tries) {
    temporaryPath =
        std::string(path) + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(++attempt);
    const int descriptor =
        ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (exists) ::fchmod(descriptor, target.st_mode & 07777);
    std::FILE* file = ::fdopen(descriptor, "w");
    if (file == nullptr) {
      ::close(descriptor);
      ::unlink(temporaryPath.c_str());
    }
    return file;
  }
  return nullptr;
}

bool commitReplacement(std::FILE* file, const std::string& temporaryPath, const char* path) {
  bool written = std::fflush(file) == 0 && !std::ferror(file) && ::fsync(fileno(file)) == 0;
  written = std::fclose(file) == 0 && written;
  if (written && ::rename(temporaryPath.c_str(), path) == 0) return true;
  ::unlink(temporaryPath.c_str());
  return false;
}

}  // namespace hushlink

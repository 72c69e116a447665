// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "support/text_file.h"

namespace hushlink {

namespace {

constexpr const char* kFreshSuffix = ".new";
constexpr int kMostLinksFollowed = 40;  // as the kernel's own limit

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that `path` finally names: a link is followed, link after link,
// to the file it points at, whether that exists yet or not. A plain rewrite
// through fopen would write there, and so must a replacement.
std::string followLinks(std::string path) {
  for (int links = 0; links < kMostLinksFollowed; ++links) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char target[PATH_MAX];
    const ssize_t size = ::readlink(path.c_str(), target, sizeof target - 1);
    if (size <= 0) return path;
    const std::string next(target, static_cast<std::size_t>(size));
    path = next[0] == '/' ? next : directoryOf(path) + "/" + next;
  }
  return path;
}

// Opens the fresh file's fixed name and holds it: an exclusive lock, taken on
// the file that still bears the name (another saver may have just moved its
// own into place under it), and only then emptied. -1 when the name cannot
// be had: the folder refuses new files.
int holdFreshFile(const std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int descriptor = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (descriptor < 0) {
      // Not ours to write through: a link planted under the fresh name.
      if (errno == ELOOP && ::unlink(name.c_str()) == 0) continue;
      return -1;
    }
    while (::flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat held;
    struct stat named;
    if (::fstat(descriptor, &held) == 0 && ::stat(name.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      if (::ftruncate(descriptor, 0) == 0) return descriptor;
      ::close(descriptor);
      return -1;
    }
    ::close(descriptor);
  }
  return -1;
}

// The plain rewrite: the file emptied and written where it is. A pipe with
// no reader is not waited for.
std::FILE* openInPlace(const std::string& path) {
  const int descriptor =
      ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) return nullptr;
  ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(descriptor, "w");
  if (file == nullptr) ::close(descriptor);
  return file;
}

// Reads one extended attribute list or value, sized by a first call. False
// when it changed size in between or cannot be read.
template <typename Read>
bool readSized(std::string& into, Read read) {
  const ssize_t size = read(nullptr, 0);
  if (size < 0) return false;
  into.resize(static_cast<std::size_t>(size));
  return size == 0 || read(into.data(), into.size()) == size;
}

bool copyExtendedAttribute(const std::string& from, const char* name, int to) {
  std::string value;
  const auto read = [&](char* bytes, std::size_t size) {
    return ::getxattr(from.c_str(), name, bytes, size);
  };
  return readSized(value, read) && ::fsetxattr(to, name, value.data(), value.size(), 0) == 0;
}

// Gives the fresh file every extended attribute the file it replaces
// carries: an access list that lets another user write the settings, a
// security label. False when any of them cannot be carried over.
bool copyExtendedAttributes(const std::string& from, int to) {
  std::string names;
  const auto list = [&](char* bytes, std::size_t size) {
    return ::listxattr(from.c_str(), bytes, size);
  };
  errno = 0;
  if (!readSized(names, list)) return errno == ENOTSUP;  // a file system that keeps none
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
    if (!copyExtendedAttribute(from, names.c_str() + at, to)) return false;
  }
  return true;
}

void syncDirectory(const std::string& directory) {
  const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  ::fsync(descriptor);
  ::close(descriptor);
}

}  // namespace

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

std::FILE* beginReplacement(const char* path, FileReplacement& replacement) {
  replacement = {};
  replacement.target = followLinks(path);
  struct stat target;
  const bool exists = ::stat(replacement.target.c_str(), &target) == 0;
  // Replace only what could have been overwritten in place.
  if (exists && (S_ISDIR(target.st_mode) || ::access(replacement.target.c_str(), W_OK) != 0)) {
    return nullptr;
  }
  // A device or a pipe is written to, never replaced by a file; a file with
  // more than one name keeps them all only when it is rewritten where it is.
  if (exists && (!S_ISREG(target.st_mode) || target.st_nlink > 1)) {
    return openInPlace(replacement.target);
  }
  const std::string freshName = replacement.target + kFreshSuffix;
  const int descriptor = holdFreshFile(freshName);
  if (descriptor < 0) {
    if (!exists) return nullptr;
    // The folder refuses new files but the file itself may be written: the
    // save is made in place, as a plain rewrite would. The in-place paths are
    // the ones that are not crash-safe: a crash mid-write leaves a short file.
    return openInPlace(replacement.target);
  }
  if (exists) {
    ::fchmod(descriptor, target.st_mode & 07777);
    // Root saving a user's file leaves it the user's. A file that cannot be
    // given back to its owner (someone else's, writable by us through its
    // group) is rewritten in place, which keeps its owner, as a plain
    // rewrite does.
    // Extended attributes come last: a change of owner drops some of them.
    // Where one cannot be carried over, the file is rewritten in place,
    // which keeps them all.
    if (::fchown(descriptor, target.st_uid, target.st_gid) != 0 ||
        !copyExtendedAttributes(replacement.target, descriptor)) {
      ::unlink(freshName.c_str());
      ::close(descriptor);
      return openInPlace(replacement.target);
    }
  }
  std::FILE* file = ::fdopen(descriptor, "w");
  if (file == nullptr) {
    ::unlink(freshName.c_str());
    ::close(descriptor);
    return nullptr;
  }
  replacement.temporary = freshName;
  replacement.hold = descriptor;
  return file;
}

bool commitReplacement(std::FILE* file, FileReplacement& replacement) {
  // A device written in place has nothing to sync: EINVAL says just that.
  bool written = std::fflush(file) == 0 && !std::ferror(file) &&
                 (::fsync(fileno(file)) == 0 || errno == EINVAL);
  if (replacement.temporary.empty()) return std::fclose(file) == 0 && written;
  // Moved into place while the lock still holds the fresh name, so no other
  // saver can empty it under us.
  if (written && ::rename(replacement.temporary.c_str(), replacement.target.c_str()) == 0) {
    // The new name must survive a power cut as well as the new content.
    syncDirectory(directoryOf(replacement.target));
  } else {
    ::unlink(replacement.temporary.c_str());
    written = false;
  }
  std::fclose(file);
  return written;
}

}  // namespace hushlink

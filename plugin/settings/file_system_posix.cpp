// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "plugin/settings/file_system.h"

namespace hushlink::files {

const char* const kTextLineEnd = "\n";

namespace {

constexpr int kMostLinksFollowed = 40;  // as the kernel's own limit

// Permissions, read-only file systems, immutable files, a pipe nobody reads:
// the system's "no", as opposed to its failures.
bool isRefusal(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY ||
         error == ENXIO || error == EISDIR;
}

Result resultOf(int error) {
  if (error == ENOENT || error == ENOTDIR) return Result::Missing;
  return isRefusal(error) ? Result::Refused : Result::Failed;
}

// open(2), again when a signal interrupted it.
int openFile(const char* path, int flags, mode_t mode = 0) {
  int descriptor;
  do {
    descriptor = ::open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool syncFile(int descriptor, Kind kind) {
  int synced;
  do {
    synced = ::fsync(descriptor);
  } while (synced != 0 && errno == EINTR);
  // A device or a pipe has nothing to sync, and says so.
  return synced == 0 || (kind == Kind::Device && (errno == EINVAL || errno == EROFS));
}

// Reads an extended attribute list or value, sized by a first call.
template <typename Read>
bool readSized(std::string& into, Read read) {
  const ssize_t size = read(nullptr, 0);
  if (size < 0) return false;
  into.resize(static_cast<std::size_t>(size));
  return size == 0 || read(into.data(), into.size()) == size;
}

// Every extended attribute of the target, given to the fresh file: an
// access list that lets another user write the settings, a label.
Result copyExtendedAttributes(const std::string& from, int to) {
  std::string names;
  const auto list = [&](char* bytes, std::size_t size) {
    return ::listxattr(from.c_str(), bytes, size);
  };
  if (!readSized(names, list)) return errno == ENOTSUP ? Result::Done : Result::Failed;
  std::string value;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
    const char* name = names.c_str() + at;
    const auto get = [&](char* bytes, std::size_t size) {
      return ::getxattr(from.c_str(), name, bytes, size);
    };
    if (!readSized(value, get)) return Result::Failed;
    if (::fsetxattr(to, name, value.data(), value.size(), 0) != 0) {
      return errno == ENOTSUP || isRefusal(errno) ? Result::Refused : Result::Failed;
    }
  }
  return Result::Done;
}

}  // namespace

void closeFile(std::intptr_t file) { ::close(static_cast<int>(file)); }

// The turn is a lock on the folder's descriptor: closing it lets go.
void releaseTurn(std::intptr_t turn) { ::close(static_cast<int>(turn)); }

Result openForReading(const std::string& path, FileHandle& file) {
  const int descriptor = openFile(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (descriptor < 0) return resultOf(errno) == Result::Missing ? Result::Missing : Result::Refused;
  file.reset(descriptor);
  struct stat info;
  if (::fstat(descriptor, &info) != 0) return Result::Failed;
  // A folder opens for reading here, and a pipe has no end we could wait
  // for: neither holds settings that can be read at once.
  if (S_ISDIR(info.st_mode) || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)) {
    return Result::Refused;
  }
  return Result::Done;
}

long readSome(const FileHandle& file, char* into, std::size_t size) {
  ssize_t got;
  do {
    got = ::read(static_cast<int>(file.get()), into, size);
  } while (got < 0 && errno == EINTR);
  return static_cast<long>(got);
}

Result resolveFinalTarget(const std::string& path, std::string& target) {
  target = path;
  for (int links = 0; links < kMostLinksFollowed; ++links) {
    struct stat info;
    if (::lstat(target.c_str(), &info) != 0) {
      return resultOf(errno) == Result::Missing ? Result::Done : Result::Failed;
    }
    if (!S_ISLNK(info.st_mode)) return Result::Done;
    char next[PATH_MAX];
    const ssize_t size = ::readlink(target.c_str(), next, sizeof next);
    if (size <= 0 || static_cast<std::size_t>(size) == sizeof next) return Result::Failed;
    const std::string link(next, static_cast<std::size_t>(size));
    target = link[0] == '/' ? link : folderOf(target) + "/" + link;
  }
  return Result::Failed;
}

Result inspectTarget(Target& target) {
  struct stat info;
  if (::stat(target.path.c_str(), &info) != 0) {
    if (resultOf(errno) != Result::Missing) return Result::Failed;
    target.exists = false;
    return Result::Done;
  }
  target.exists = true;
  target.kind = S_ISDIR(info.st_mode)   ? Kind::Directory
                : S_ISREG(info.st_mode) ? Kind::Regular
                                        : Kind::Device;
  target.hasSecondName = info.st_nlink > 1;
  target.writable = ::faccessat(AT_FDCWD, target.path.c_str(), W_OK, AT_EACCESS) == 0;
  if (!target.writable && !isRefusal(errno)) return Result::Failed;
  return Result::Done;
}

namespace {

// A saver that has had to wait marks the folder with a read lock of its own
// kind, apart from the turn's flock. A newcomer that finds the mark joins the
// waiters rather than taking the turn the moment it is let go, so a host that
// saves again and again does not starve the others: whoever looks first once
// the turn is free has it.
struct flock waitingMark(short type) {
  struct flock mark {};
  mark.l_type = type;
  mark.l_whence = SEEK_SET;
  mark.l_len = 1;
  return mark;
}

bool othersAreWaiting(int folder) {
  struct flock probe = waitingMark(F_WRLCK);
  return ::fcntl(folder, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// Without the mark (a file system without such locks) the turn is still
// had, only less fairly.
void markWaiting(int folder) {
  struct flock mark = waitingMark(F_RDLCK);
  (void)::fcntl(folder, F_OFD_SETLK, &mark);
}

enum class Attempt { Taken, Held, Failed };

Attempt tryTurn(int folder) {
  if (::flock(folder, LOCK_EX | LOCK_NB) == 0) return Attempt::Taken;
  return errno == EWOULDBLOCK || errno == EINTR ? Attempt::Held : Attempt::Failed;
}

// Waiters look again after pauses of their own, between 0.1 and 1 ms, taken
// from the clock: none keeps in step with another, and none that has waited
// long looks less often than one that just came.
void pauseBeforeLookingAgain() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const long nanoseconds =
      100'000 + static_cast<long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() % 900'000);
  const struct timespec pause = {0, nanoseconds};
  ::nanosleep(&pause, nullptr);
}

}  // namespace

std::chrono::milliseconds clockNow() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

ChangeStamp changeStampOf(const Target& target) {
  struct stat info;
  if (::stat(target.path.c_str(), &info) != 0) return {};
  // A freed inode number is soon given out again; its change time is not.
  return {static_cast<std::uint64_t>(info.st_ino) ^ (static_cast<std::uint64_t>(info.st_dev) << 32),
          static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec};
}

// Savers lock the folder, which stays where it is, rather than a file that
// a saver moves away: every lock is on the one object all of them see.
std::string turnName(const Target& target) { return folderOf(target.path); }

Result takeTurn(const Target& target, Patience& patience, TurnHandle& turn) {
  const int folder = openFile(turnName(target).c_str(), O_RDONLY | O_DIRECTORY);
  if (folder < 0) return resultOf(errno) == Result::Missing ? Result::Missing : Result::Failed;
  turn.reset(folder);
  Attempt attempt = othersAreWaiting(folder) ? Attempt::Held : tryTurn(folder);
  if (attempt != Attempt::Held) return attempt == Attempt::Taken ? Result::Done : Result::Failed;
  markWaiting(folder);
  while (attempt == Attempt::Held) {
    if (!patience.keepWaiting()) return Result::Failed;
    pauseBeforeLookingAgain();
    attempt = tryTurn(folder);
  }
  return attempt == Attempt::Taken ? Result::Done : Result::Failed;
}

Result claimFreshFile(const Target& target, const std::string& freshName, FileHandle& fresh) {
  // Until it carries the target's permissions, nobody else may open it.
  const mode_t mode = target.exists ? 0600 : 0666;
  const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK;
  int descriptor = openFile(freshName.c_str(), flags, mode);
  // A link planted under the fresh name is not ours to write through.
  if (descriptor < 0 && errno == ELOOP && ::unlink(freshName.c_str()) == 0) {
    descriptor = openFile(freshName.c_str(), flags, mode);
  }
  if (descriptor < 0) return resultOf(errno);
  fresh.reset(descriptor);
  return Result::Done;
}

Result carryMetadata(const Target& target, const FileHandle& fresh) {
  const int descriptor = static_cast<int>(fresh.get());
  struct stat info;
  if (::stat(target.path.c_str(), &info) != 0) return Result::Failed;
  // Owner first: a change of owner clears set-id bits and drops some
  // attributes, which the next two steps put back. One we may not give the
  // file back to (someone else's, writable by us through its group) keeps
  // the file only if it is rewritten in place.
  if (::fchown(descriptor, info.st_uid, info.st_gid) != 0) {
    return errno == EPERM ? Result::Refused : Result::Failed;
  }
  if (::fchmod(descriptor, info.st_mode & 07777) != 0) return Result::Failed;
  return copyExtendedAttributes(target.path, descriptor);
}

bool writeWhole(const FileHandle& file, Kind kind, const std::string& content) {
  const int descriptor = static_cast<int>(file.get());
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t written = kind == Kind::Regular
                                ? ::pwrite(descriptor, content.data() + done, content.size() - done,
                                           static_cast<off_t>(done))
                                : ::write(descriptor, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  if (kind == Kind::Regular) {
    int cut;
    do {
      cut = ::ftruncate(descriptor, static_cast<off_t>(content.size()));
    } while (cut != 0 && errno == EINTR);
    if (cut != 0) return false;
  }
  return syncFile(descriptor, kind);
}

Result moveIntoPlace(const std::string& freshName, const Target& target, const TurnHandle& turn) {
  if (::rename(freshName.c_str(), target.path.c_str()) != 0) return Result::Failed;
  // The new name must survive a power cut as well as the new content. The
  // file is in place whether or not this sync succeeds.
  syncFile(static_cast<int>(turn.get()), Kind::Directory);
  return Result::Done;
}

Result openForRewrite(const Target& target, FileHandle& file) {
  // A pipe opened for reading too would be its own reader: what we wrote
  // would vanish. A file we may only write is rewritten without a copy to
  // put back.
  int descriptor = -1;
  if (target.kind == Kind::Regular) descriptor = openFile(target.path.c_str(), O_RDWR | O_NONBLOCK);
  if (descriptor < 0 && (target.kind != Kind::Regular || errno == EACCES)) {
    descriptor = openFile(target.path.c_str(), O_WRONLY | O_NONBLOCK);
  }
  if (descriptor < 0) return resultOf(errno);
  file.reset(descriptor);
  return Result::Done;
}

void removeFile(const std::string& path) { ::unlink(path.c_str()); }

}  // namespace hushlink::files

// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <optional>

#include "plugin/log/log_output.h"

namespace hushlink {

namespace {

// Holds SIGPIPE back from this thread while one write to a pipe runs. The
// SIGPIPE that a failed write raised is taken off again before the mask is
// restored, unless one was already pending, so the host's mask, disposition
// and pending set end exactly as they began.
class SigpipeHeldBack {
 public:
  SigpipeHeldBack() {
    sigemptyset(&sigpipe_);
    sigaddset(&sigpipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    ::pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
  }
  ~SigpipeHeldBack() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SigpipeHeldBack(const SigpipeHeldBack&) = delete;
  SigpipeHeldBack& operator=(const SigpipeHeldBack&) = delete;

  void discardRaised() {
    if (wasPending_) return;
    const struct timespec now = {};
    while (::sigtimedwait(&sigpipe_, nullptr, &now) < 0 && errno == EINTR) {
    }
  }

 private:
  sigset_t sigpipe_;
  sigset_t previous_;
  bool wasPending_;
};

// Runs `write`, which returns false with errno EPIPE when the reader is gone;
// the host's errno is left as it was.
template <typename Write>
bool writeQuietly(bool guardSigpipe, Write write) {
  const int savedErrno = errno;
  errno = 0;
  std::optional<SigpipeHeldBack> heldBack;
  if (guardSigpipe) heldBack.emplace();
  const bool written = write() || errno != EPIPE;
  if (!written && heldBack) heldBack->discardRaised();
  errno = savedErrno;
  return written;
}

}  // namespace

std::FILE* openLogFile(const char* path) {
  // Emptied at open, then every write goes to the end, whoever else writes.
  int descriptor;
  do {
    descriptor = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return nullptr;
  struct stat info;
  if (::fstat(descriptor, &info) != 0 || S_ISDIR(info.st_mode)) {
    ::close(descriptor);
    return nullptr;
  }
  if (descriptor <= STDERR_FILENO) {
    // The host has closed a standard descriptor: the log must not take its
    // place, or the host's own output (and our console copy) would land in it.
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(descriptor);
    if (moved < 0) return nullptr;
    descriptor = moved;
  }
  std::FILE* file = ::fdopen(descriptor, "a");
  if (file == nullptr) ::close(descriptor);
  return file;
}

void closeLogFile(std::FILE* file) { std::fclose(file); }

bool writesCanRaiseSigpipe(std::FILE* stream) {
  struct stat info;
  return ::fstat(fileno(stream), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

namespace {

// Where a write to `descriptor` ended: the log is opened O_APPEND, so each
// write lands at the file's end wherever another session left it, and the
// offset after it is where that write's last byte went. -1 when there is no
// offset (a pipe); errno is left as it was.
std::int64_t offsetAfterWrite(int descriptor) {
  const int savedErrno = errno;
  const off_t offset = ::lseek(descriptor, 0, SEEK_CUR);
  errno = savedErrno;
  return offset;
}

// write(2) until all of it is written, again after a short write or an
// interruption; how much was written, and, after a write that moved only
// part, where the line's piece lies.
void writeAll(int descriptor, const char* bytes, std::size_t size, LineWritten& result) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = ::write(descriptor, bytes + done, size - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    const std::size_t before = done;
    done += static_cast<std::size_t>(written);
    // Only after a short write: one that goes through whole asks nothing.
    if (done < size) {
      result.placed(before, static_cast<std::size_t>(written), offsetAfterWrite(descriptor));
    }
  }
  result.bytes = done;
}

}  // namespace

LineWritten writeWholeLine(std::FILE* file, const char* line, std::size_t size, bool guardSigpipe) {
  LineWritten result;
  result.readerGone = !writeQuietly(guardSigpipe, [&] {
    writeAll(fileno(file), line, size, result);
    return result.bytes == size;
  });
  return result;
}

bool takeBackCutLine(std::FILE* file, const LineWritten& written) {
  if (written.pieceStart < 0) return false;
  const int descriptor = fileno(file);
  const int savedErrno = errno;
  // The file must still end where the piece ends: a line another session
  // appended after it is never cut. Sessions share no lock here, so a line
  // appended between this look and the cut (two calls apart, on a disk that
  // has just refused a write) is the one case this cannot rule out.
  struct stat info;
  bool taken = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
               info.st_size == static_cast<off_t>(written.pieceEnd);
  if (taken) {
    int cut;
    do {
      cut = ::ftruncate(descriptor, static_cast<off_t>(written.pieceStart));
    } while (cut < 0 && errno == EINTR);
    taken = cut == 0;
  }
  errno = savedErrno;
  return taken;
}

bool endCutLine(std::FILE* file, bool guardSigpipe) {
  bool ended = false;
  writeQuietly(guardSigpipe, [&] {
    LineWritten written;
    writeAll(fileno(file), "\n", 1, written);
    ended = written.bytes == 1;
    return ended;
  });
  return ended;
}

bool writeConsoleLine(const char* line, std::size_t size, bool guardSigpipe) {
  // Standard output is the host's: its buffering is left as the process set
  // it, so a write to the system happens only when the buffer fills.
  return writeQuietly(guardSigpipe, [&] { return std::fwrite(line, 1, size, stdout) == size; });
}

}  // namespace hushlink

// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "support/log_output.h"

namespace hushlink {

namespace {

std::wstring widePath(const char* path) {
  const int size = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  std::wstring wide(size > 0 ? static_cast<std::size_t>(size) : 0, L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, path, -1, wide.data(), size);
  if (!wide.empty()) wide.pop_back();
  return wide;
}

// A C runtime descriptor for `handle` that is none of 0, 1 and 2: where the
// host has closed one of those, the runtime would hand it out again, and its
// standard output would then write into the log.
int descriptorAboveStandardOnes(HANDLE handle) {
  int held[3];
  int heldCount = 0;
  int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_TEXT);
  while (descriptor >= 0 && descriptor <= 2) {
    held[heldCount++] = descriptor;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      descriptor = -1;
      break;
    }
    handle = copy;
    descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_TEXT);
    if (descriptor < 0) CloseHandle(copy);
  }
  for (int i = 0; i < heldCount; ++i) _close(held[i]);
  return descriptor;
}

// Windows appends each write to a FILE_APPEND_DATA handle whole, but Wine,
// where many users run their host, finds the end and writes there in two
// steps, so two sessions' lines could land on one place. Appenders of the log
// therefore take turns, by locking one byte far past any log's end.
class AppendersTakeTurns {
 public:
  explicit AppendersTakeTurns(HANDLE file) : file_(file) {
    turn_.Offset = 0xFFFFFFFF;
    turn_.OffsetHigh = 0x7FFFFFFF;
    locked_ = LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &turn_) != 0;
  }
  ~AppendersTakeTurns() {
    if (locked_) UnlockFileEx(file_, 0, 1, 0, &turn_);
  }
  AppendersTakeTurns(const AppendersTakeTurns&) = delete;
  AppendersTakeTurns& operator=(const AppendersTakeTurns&) = delete;

 private:
  HANDLE file_;
  OVERLAPPED turn_ = {};
  bool locked_;
};

}  // namespace

std::FILE* openLogFile(const char* path) {
  const std::wstring wide = widePath(path);
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // Emptied first; then opened with append access only, so that every write
  // lands at the end of the file whoever else writes to it.
  const HANDLE emptied = CreateFileW(wide.c_str(), GENERIC_WRITE, kShare, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (emptied == INVALID_HANDLE_VALUE) return nullptr;
  CloseHandle(emptied);
  // Read access only so that the handle may take the appenders' lock below.
  const HANDLE handle = CreateFileW(wide.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | SYNCHRONIZE,
                                    kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  const int descriptor = descriptorAboveStandardOnes(handle);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "at");
  if (file == nullptr) _close(descriptor);
  return file;
}

bool writesCanRaiseSigpipe(std::FILE*) { return false; }

bool writeWholeLine(std::FILE* file, const char* line, std::size_t size, bool) {
  // Text mode's line ends, translated here so that the line (text and CR LF)
  // still reaches the file in a single WriteFile.
  std::size_t newlines = 0;
  for (std::size_t i = 0; i < size; ++i) newlines += line[i] == '\n';
  char stackBuffer[1024];
  const std::size_t translatedSize = size + newlines;
  char* translated = translatedSize <= sizeof stackBuffer
                         ? stackBuffer
                         : static_cast<char*>(std::malloc(translatedSize));
  if (translated == nullptr) return true;
  std::size_t out = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (line[i] == '\n') translated[out++] = '\r';
    translated[out++] = line[i];
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  const char* next = translated;
  std::size_t left = translatedSize;
  bool broken = false;
  const AppendersTakeTurns turn(handle);
  while (left > 0) {
    DWORD written = 0;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    if (!WriteFile(handle, next, chunk, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      broken = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
      break;
    }
    next += written;
    left -= written;
  }
  if (translated != stackBuffer) std::free(translated);
  return !broken;
}

bool writeConsoleLine(const char* line, std::size_t size, bool) {
  // This module's C runtime may not be the host's, and it buffers standard
  // output whenever that is a file or a pipe: flushed here, each line reaches
  // the host's output when it is logged, not when the process ends.
  const int savedErrno = errno;
  errno = 0;
  std::fwrite(line, 1, size, stdout);
  const bool broken = std::fflush(stdout) != 0 && errno == EPIPE;
  errno = savedErrno;
  return !broken;
}

}  // namespace hushlink

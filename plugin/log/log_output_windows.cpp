// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "plugin/log/log_output.h"
#include "plugin/windows_names.h"

namespace hushlink {

namespace {

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
// steps, so two sessions' lines could land on one place. Appenders of one
// log therefore take turns, through a word in memory that every process with
// that log open shares (a named mapping, keyed by the log's full path). A
// turn costs two atomic operations and no call into the system, where a file
// lock would cost two round trips to Wine's server per line. A process that
// dies holding the turn loses it; a turn that never comes is not waited for
// past a second, and the line is written all the same.
class AppendTurns {
 public:
  void open(HANDLE file) {
    wchar_t path[MAX_PATH * 2];
    const DWORD size = GetFinalPathNameByHandleW(file, path, MAX_PATH * 2, FILE_NAME_NORMALIZED);
    if (size == 0 || size >= MAX_PATH * 2) return;
    std::wstring name;
    try {
      name = sharedObjectName(L"log", std::wstring(path, size));
    } catch (const std::bad_alloc&) {
      return;  // no memory to name the word: the log goes without turns
    }
    mapping_ =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, name.c_str());
    if (mapping_ == nullptr) return;
    holder_ = static_cast<volatile LONG*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, kSize));
    if (holder_ == nullptr) close();
  }

  void close() {
    if (kept_) give();
    if (holder_ != nullptr) UnmapViewOfFile(const_cast<LONG*>(holder_));
    if (mapping_ != nullptr) CloseHandle(mapping_);
    holder_ = nullptr;
    mapping_ = nullptr;
  }

  // False when the turn did not come (or there is no shared word). A turn
  // kept is this call's at once.
  bool take() {
    if (kept_) {
      kept_ = false;
      return true;
    }
    if (holder_ == nullptr) return false;
    const LONG self = static_cast<LONG>(GetCurrentProcessId());
    const ULONGLONG deadline = GetTickCount64() + kLongestWaitMs;
    for (unsigned attempt = 0;; ++attempt) {
      const LONG holder = InterlockedCompareExchange(holder_, self, 0);
      if (holder == 0) return true;
      if (attempt % 64 == 63) {
        if (!isRunning(holder)) InterlockedCompareExchange(holder_, 0, holder);
        if (GetTickCount64() > deadline) return false;
      }
      if (attempt < 16) {
        YieldProcessor();
      } else {
        Sleep(attempt < 256 ? 0 : 1);
      }
    }
  }

  void give() {
    kept_ = false;
    InterlockedExchange(holder_, 0);
  }

  // Holds on to the turn taken, for the next take() of this process: a line
  // cut short keeps it until it is taken back.
  void keep() { kept_ = true; }

 private:
  static constexpr DWORD kSize = 4096;
  static constexpr ULONGLONG kLongestWaitMs = 1000;

  static bool isRunning(LONG processId) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(processId));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
  }

  HANDLE mapping_ = nullptr;
  volatile LONG* holder_ = nullptr;
  bool kept_ = false;
};

// There is one log per module.
AppendTurns logTurns;

// Text mode's line ends, translated here so that the line (text and CR LF)
// still reaches the file in a single WriteFile. `into` holds the line's size
// plus one byte per newline.
void translateLineEnds(const char* line, std::size_t size, char* into) {
  for (std::size_t i = 0; i < size; ++i) {
    if (line[i] == '\n') *into++ = '\r';
    *into++ = line[i];
  }
}

// Where the file pointer of `handle` stands: after a write to the log's
// append-only handle, just past the bytes that write appended. -1 when it
// has none (a pipe, a device).
std::int64_t offsetAfterWrite(HANDLE handle) {
  LARGE_INTEGER at;
  LARGE_INTEGER none;
  none.QuadPart = 0;
  return SetFilePointerEx(handle, none, &at, FILE_CURRENT) ? at.QuadPart : -1;
}

// WriteFile until all of it is written; how much was, and, after a write
// that moved only part, where the piece lies. `readerGone` tells a pipe
// whose reader has gone from other failures.
std::size_t writeAll(HANDLE handle, const char* bytes, std::size_t size, bool& readerGone,
                     LineWritten& piece) {
  std::size_t done = 0;
  while (done < size) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 0x40000000u));
    if (!WriteFile(handle, bytes + done, chunk, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      readerGone = error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE;
      break;
    }
    const std::size_t before = done;
    done += written;
    // Only when more is left: a write that goes through whole asks nothing.
    if (done < size) piece.placed(before, written, offsetAfterWrite(handle));
  }
  return done;
}

HANDLE handleOf(std::FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

// Writes while holding the log's turn, where there is one. With
// `keepIfCut`, a line cut short whose piece can be taken back keeps the turn
// for takeBackCutLine(), so that no other session's line can follow the
// piece before it is taken back.
std::size_t writeInTurn(std::FILE* file, const char* bytes, std::size_t size, bool& readerGone,
                        LineWritten& piece, bool keepIfCut = false) {
  const HANDLE handle = handleOf(file);
  const bool turnTaken = logTurns.take();
  const std::size_t done = writeAll(handle, bytes, size, readerGone, piece);
  if (turnTaken) {
    if (keepIfCut && done > 0 && done < size && piece.pieceStart >= 0) {
      logTurns.keep();
    } else {
      logTurns.give();
    }
  }
  return done;
}

}  // namespace

std::FILE* openLogFile(const char* path) {
  // Without memory for the wide name there is no log, as when it cannot be
  // opened; nothing is open yet to be given back.
  std::wstring wide;
  try {
    wide = widenedPath(path);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  // Emptied first; then opened with append access only, so that every write
  // lands at the end of the file whoever else writes to it.
  const HANDLE emptied = CreateFileW(wide.c_str(), GENERIC_WRITE, kShare, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (emptied == INVALID_HANDLE_VALUE) return nullptr;
  CloseHandle(emptied);
  const HANDLE handle = CreateFileW(wide.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShare, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  logTurns.open(handle);
  const int descriptor = descriptorAboveStandardOnes(handle);
  if (descriptor < 0) {
    CloseHandle(handle);
    logTurns.close();
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "at");
  if (file == nullptr) {
    _close(descriptor);
    logTurns.close();
  }
  return file;
}

void closeLogFile(std::FILE* file) {
  std::fclose(file);
  logTurns.close();
}

bool writesCanRaiseSigpipe(std::FILE*) { return false; }

LineWritten writeWholeLine(std::FILE* file, const char* line, std::size_t size, bool) {
  LineWritten result;
  const std::size_t translatedSize =
      size + static_cast<std::size_t>(std::count(line, line + size, '\n'));
  char stackBuffer[1024];
  char* translated = translatedSize <= sizeof stackBuffer
                         ? stackBuffer
                         : static_cast<char*>(std::malloc(translatedSize));
  if (translated == nullptr) return result;
  translateLineEnds(line, size, translated);
  const std::size_t done =
      writeInTurn(file, translated, translatedSize, result.readerGone, result, true);
  // Counted in the line's own bytes: all, none, or some but not all. Where
  // the piece lies stays in the file's bytes, CR LF and all.
  result.bytes = done == translatedSize ? size : std::min(done, size - 1);
  if (translated != stackBuffer) std::free(translated);
  return result;
}

bool takeBackCutLine(std::FILE* file, const LineWritten& written) {
  // Only while holding the turn, kept since the cut line's write where that
  // had it: the other appenders wait for it, so no line of theirs can land
  // after the piece, nor between the look at where the file ends and the
  // cut, where it would be cut with the piece. Without the turn (it did not
  // come in time, or there is no shared word) nothing is cut.
  if (written.pieceStart < 0 || !logTurns.take()) return false;
  bool taken = false;
  // The log's own handle may only append; the cut needs one that may write.
  wchar_t path[MAX_PATH * 2];
  const DWORD size =
      GetFinalPathNameByHandleW(handleOf(file), path, MAX_PATH * 2, FILE_NAME_NORMALIZED);
  if (size != 0 && size < MAX_PATH * 2) {
    const HANDLE writer = CreateFileW(path, FILE_WRITE_DATA | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writer != INVALID_HANDLE_VALUE) {
      // The file must still end where the piece ends, or another session's
      // line follows it.
      BY_HANDLE_FILE_INFORMATION info;
      if (GetFileInformationByHandle(writer, &info) &&
          (static_cast<std::int64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) ==
              written.pieceEnd) {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = written.pieceStart;
        taken = SetFileInformationByHandle(writer, FileEndOfFileInfo, &end, sizeof end) != 0;
      }
      CloseHandle(writer);
    }
  }
  logTurns.give();
  return taken;
}

bool endCutLine(std::FILE* file, bool) {
  bool readerGone = false;
  LineWritten piece;
  return writeInTurn(file, "\r\n", 2, readerGone, piece) == 2;
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

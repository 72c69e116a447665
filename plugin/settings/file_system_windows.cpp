// SPDX-License-Identifier: GPL-2.0-or-later
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "plugin/settings/file_system.h"
#include "plugin/windows_names.h"

namespace hushlink::files {

const char* const kTextLineEnd = "\r\n";

namespace {

constexpr ULONGLONG kLongestMoveWaitMs = 2000;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// What a file carries in its attributes that a fresh file must carry too.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The C runtime takes both of these for a file that is not there.
bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

Result resultOf(DWORD error) {
  if (isMissing(error)) return Result::Missing;
  return error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ? Result::Refused
                                                                      : Result::Failed;
}

HANDLE handleOf(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
std::intptr_t valueOf(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// The path made full, as the move and the turn's name take it. Empty when it
// cannot be had.
std::wstring fullPath(const std::string& path) {
  wchar_t full[MAX_PATH * 2];
  const DWORD size = GetFullPathNameW(widenedPath(path).c_str(), MAX_PATH * 2, full, nullptr);
  if (size == 0 || size >= MAX_PATH * 2) return {};
  return std::wstring(full, size);
}

HANDLE openExisting(const std::string& path, DWORD access, DWORD share, DWORD flags = 0) {
  return CreateFileW(widenedPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                     flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

void closeFile(std::intptr_t file) { CloseHandle(handleOf(file)); }

void releaseTurn(std::intptr_t turn) {
  ReleaseMutex(handleOf(turn));
  CloseHandle(handleOf(turn));
}

Result openForReading(const std::string& path, FileHandle& file) {
  const HANDLE handle = openExisting(path, GENERIC_READ, kShareAll);
  if (handle == INVALID_HANDLE_VALUE) {
    return isMissing(GetLastError()) ? Result::Missing : Result::Refused;
  }
  file.reset(valueOf(handle));
  // A pipe or a console has no end we could wait for.
  return GetFileType(handle) == FILE_TYPE_DISK ? Result::Done : Result::Refused;
}

long readSome(const FileHandle& file, char* into, std::size_t size) {
  DWORD got = 0;
  const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!ReadFile(handleOf(file.get()), into, wanted, &got, nullptr)) return -1;
  return static_cast<long>(got);
}

// Windows follows a link to the file it points at; one that points nowhere
// cannot be followed, and is not written through.
Result resolveFinalTarget(const std::string& path, std::string& target) {
  target = path;
  const DWORD attributes = GetFileAttributesW(widenedPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return isMissing(GetLastError()) ? Result::Done : Result::Failed;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return Result::Done;
  const HANDLE link =
      openExisting(path, FILE_READ_ATTRIBUTES, kShareAll, FILE_FLAG_BACKUP_SEMANTICS);
  if (link == INVALID_HANDLE_VALUE) return Result::Failed;
  wchar_t final[MAX_PATH * 2];
  const DWORD size = GetFinalPathNameByHandleW(link, final, MAX_PATH * 2, FILE_NAME_NORMALIZED);
  CloseHandle(link);
  if (size == 0 || size >= MAX_PATH * 2) return Result::Failed;
  return narrowedPath(std::wstring(final, size), target) ? Result::Done : Result::Failed;
}

Result inspectTarget(Target& target) {
  const DWORD attributes = GetFileAttributesW(widenedPath(target.path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (!isMissing(GetLastError())) return Result::Failed;
    target.exists = false;
    return Result::Done;
  }
  target.exists = true;
  target.kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::Directory : Kind::Regular;
  target.writable = (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  if (target.kind == Kind::Directory) return Result::Done;
  const HANDLE file = openExisting(target.path, FILE_READ_ATTRIBUTES, kShareAll);
  if (file == INVALID_HANDLE_VALUE) return Result::Failed;
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(file, &information) != 0;
  CloseHandle(file);
  if (!known) return Result::Failed;
  target.hasSecondName = information.nNumberOfLinks > 1;
  return Result::Done;
}

std::chrono::milliseconds clockNow() { return std::chrono::milliseconds(GetTickCount64()); }

ChangeStamp changeStampOf(const Target& target) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(widenedPath(target.path).c_str(), GetFileExInfoStandard, &data)) {
    return {};
  }
  // A replacement carries the creation time over, never the time of writing.
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  return {ticks(data.ftCreationTime), static_cast<std::int64_t>(ticks(data.ftLastWriteTime))};
}

namespace {

// Whether a wait on the turn's mutex got it. Abandoned: a saver died holding
// it; the turn is ours all the same.
bool gotTurn(DWORD waited) { return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED; }

}  // namespace

// A mutex named after the target's full path, which every process of the
// session finds. Its name is plain ASCII.
std::string turnName(const Target& target) {
  const std::wstring full = fullPath(target.path);
  if (full.empty()) return {};
  const std::wstring name = sharedObjectName(L"settings", full);
  return std::string(name.begin(), name.end());
}

// Every thread of one host waits for the turn's mutex in turn. A wait keeps
// its place in the mutex's queue only while it lasts, so each lasts as long
// as patience allows before asking it again.
Result takeTurn(const Target& target, Patience& patience, TurnHandle& turn) {
  const std::string name = turnName(target);
  if (name.empty()) return Result::Failed;
  const HANDLE mutex = CreateMutexW(nullptr, FALSE, std::wstring(name.begin(), name.end()).c_str());
  if (mutex == nullptr) return Result::Failed;
  FileHandle waiting;  // closed, not released, unless the turn is had
  waiting.reset(valueOf(mutex));
  DWORD waited = WaitForSingleObject(mutex, 0);
  while (waited == WAIT_TIMEOUT && patience.keepWaiting()) {
    const std::chrono::milliseconds timeLeft = patience.timeLeft();
    waited =
        WaitForSingleObject(mutex, timeLeft.count() > 0 ? static_cast<DWORD>(timeLeft.count()) : 1);
  }
  if (!gotTurn(waited)) return Result::Failed;
  turn.reset(waiting.release());
  return Result::Done;
}

Result claimFreshFile(const Target&, const std::string& freshName, FileHandle& fresh) {
  const std::wstring wide = widenedPath(freshName);
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE | WRITE_DAC, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return resultOf(GetLastError());
  fresh.reset(valueOf(handle));
  return Result::Done;
}

// What the target carries goes to the fresh file before the move: its
// access list, which a rename would otherwise trade for the folder's, and
// its attributes and creation time.
Result carryMetadata(const Target& target, const FileHandle& fresh) {
  const std::wstring path = widenedPath(target.path);
  DWORD size = 0;
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &size);
  if (size == 0) return Result::Failed;
  std::string descriptor(size, '\0');
  if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), size, &size)) {
    return Result::Failed;
  }
  if (!SetKernelObjectSecurity(handleOf(fresh.get()), DACL_SECURITY_INFORMATION,
                               descriptor.data())) {
    return GetLastError() == ERROR_ACCESS_DENIED ? Result::Refused : Result::Failed;
  }
  WIN32_FILE_ATTRIBUTE_DATA old;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &old)) return Result::Failed;
  FILE_BASIC_INFO basic = {};  // times of zero are left as they are
  basic.CreationTime.LowPart = old.ftCreationTime.dwLowDateTime;
  basic.CreationTime.HighPart = static_cast<LONG>(old.ftCreationTime.dwHighDateTime);
  basic.FileAttributes = old.dwFileAttributes & kCarriedAttributes;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handleOf(fresh.get()), FileBasicInfo, &basic, sizeof basic)
             ? Result::Done
             : Result::Failed;
}

bool writeWhole(const FileHandle& file, Kind kind, const std::string& content) {
  const HANDLE handle = handleOf(file.get());
  const LARGE_INTEGER start = {};
  if (kind == Kind::Regular && !SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) return false;
  for (std::size_t done = 0; done < content.size();) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - done, 1u << 30));
    if (!WriteFile(handle, content.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  if (kind == Kind::Regular && !SetEndOfFile(handle)) return false;
  return FlushFileBuffers(handle) != 0 || kind != Kind::Regular;
}

// One rename, which happens whole or not at all: ReplaceFile moves the old
// file away and the new one in as two steps, and a reader between them
// finds no file.
Result moveIntoPlace(const std::string& freshName, const Target& target, const TurnHandle&) {
  const std::wstring fresh = fullPath(freshName);
  const std::wstring to = fullPath(target.path);
  if (fresh.empty() || to.empty()) return Result::Failed;
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (target.exists ? MOVEFILE_REPLACE_EXISTING : 0);
  // A reader that has the file open for a moment (a scanner, an editor)
  // keeps it from being replaced until it lets go.
  const ULONGLONG deadline = GetTickCount64() + kLongestMoveWaitMs;
  for (;;) {
    if (MoveFileExW(fresh.c_str(), to.c_str(), flags)) return Result::Done;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) ||
        GetTickCount64() > deadline) {
      return Result::Failed;
    }
    Sleep(1);
  }
}

Result openForRewrite(const Target& target, FileHandle& file) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
  HANDLE handle = openExisting(target.path, GENERIC_READ | GENERIC_WRITE, kShare);
  // A file we may only write is rewritten without a copy to put back.
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
    handle = openExisting(target.path, GENERIC_WRITE, kShare);
  }
  if (handle == INVALID_HANDLE_VALUE) return resultOf(GetLastError());
  file.reset(valueOf(handle));
  return Result::Done;
}

void removeFile(const std::string& path) { DeleteFileW(widenedPath(path).c_str()); }

}  // namespace hushlink::files

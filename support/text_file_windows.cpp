// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "support/text_file.h"
#include "support/windows_names.h"

namespace hushlink {

namespace {

constexpr const char* kFreshSuffix = ".new";

std::string narrowed(const std::wstring& text) {
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
  narrow.pop_back();
  return narrow;
}

// The file that `path` finally names, when it is a symbolic link to one that
// exists: a plain rewrite would write there, and so must a replacement.
std::string followLinks(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(widenedPath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return path;
  }
  const HANDLE file = CreateFileW(widenedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return path;
  wchar_t final[MAX_PATH * 2];
  const DWORD size = GetFinalPathNameByHandleW(file, final, MAX_PATH * 2, FILE_NAME_NORMALIZED);
  CloseHandle(file);
  if (size == 0 || size >= MAX_PATH * 2) return path;
  return narrowed(final);
}

// A file with a second name (a hard link) keeps it only when it is
// rewritten where it is: a replacement would leave the other name behind.
bool hasSecondName(const std::string& path) {
  const HANDLE file = CreateFileW(widenedPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION information;
  const bool linked =
      GetFileInformationByHandle(file, &information) && information.nNumberOfLinks > 1;
  CloseHandle(file);
  return linked;
}

// One saver of a given file at a time, across processes: a mutex named after
// the file's full path. Null when it cannot be had.
HANDLE holdSaversTurn(const std::string& path) {
  wchar_t full[MAX_PATH * 2];
  const DWORD size = GetFullPathNameW(widenedPath(path).c_str(), MAX_PATH * 2, full, nullptr);
  if (size == 0 || size >= MAX_PATH * 2) return nullptr;
  const HANDLE mutex =
      CreateMutexW(nullptr, FALSE, sharedObjectName(L"settings", std::wstring(full, size)).c_str());
  if (mutex == nullptr) return nullptr;
  const DWORD waited = WaitForSingleObject(mutex, 10000);
  // Abandoned: a saver died holding it; the turn is ours all the same.
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    return nullptr;
  }
  return mutex;
}

void releaseSaversTurn(std::intptr_t hold) {
  if (hold == -1) return;
  const HANDLE mutex = reinterpret_cast<HANDLE>(hold);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

std::FILE* textStream(HANDLE handle) {
  const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_TEXT);
  if (descriptor < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* file = _fdopen(descriptor, "wt");
  if (file == nullptr) _close(descriptor);
  return file;
}

// The plain rewrite: the file emptied and written where it is. The in-place
// paths are the ones that are not crash-safe: a crash mid-write leaves a
// short file.
std::FILE* rewriteInPlace(const std::string& path) { return std::fopen(path.c_str(), "wtN"); }

}  // namespace

std::FILE* openTextFile(const char* path, TextFileMode mode) {
  // "t" whatever the host set as its default file mode; "N": not inherited.
  return std::fopen(path, mode == TextFileMode::Write ? "wtN" : "rtN");
}

std::FILE* beginReplacement(const char* path, FileReplacement& replacement) {
  replacement = {};
  replacement.target = followLinks(path);
  const DWORD attributes = GetFileAttributesW(widenedPath(replacement.target).c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  // Replace only what could have been overwritten in place.
  if (exists && (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    return nullptr;
  }
  if (exists && hasSecondName(replacement.target)) return rewriteInPlace(replacement.target);
  const HANDLE turn = holdSaversTurn(replacement.target);
  if (turn == nullptr) return nullptr;
  const std::string freshName = replacement.target + kFreshSuffix;
  const HANDLE fresh = CreateFileW(widenedPath(freshName).c_str(), GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (fresh == INVALID_HANDLE_VALUE) {
    releaseSaversTurn(reinterpret_cast<std::intptr_t>(turn));
    if (!exists) return nullptr;
    // The folder refuses new files but the file itself may be written: the
    // save is made in place, as a plain rewrite would.
    return rewriteInPlace(replacement.target);
  }
  std::FILE* file = textStream(fresh);
  if (file == nullptr) {
    DeleteFileW(widenedPath(freshName).c_str());
    releaseSaversTurn(reinterpret_cast<std::intptr_t>(turn));
    return nullptr;
  }
  replacement.temporary = freshName;
  replacement.hold = reinterpret_cast<std::intptr_t>(turn);
  return file;
}

bool commitReplacement(std::FILE* file, FileReplacement& replacement) {
  bool written = std::fflush(file) == 0 && !std::ferror(file) && _commit(_fileno(file)) == 0;
  written = std::fclose(file) == 0 && written;
  if (replacement.temporary.empty()) return written;
  const std::wstring target = widenedPath(replacement.target);
  const std::wstring fresh = widenedPath(replacement.temporary);
  const DWORD attributes = GetFileAttributesW(target.c_str());
  // ReplaceFile keeps the replaced file's security descriptor and attributes;
  // a file that does not exist yet is moved into place.
  if (written) {
    written = ReplaceFileW(target.c_str(), fresh.c_str(), nullptr,
                           REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                           nullptr) ||
              MoveFileExW(fresh.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
  // Not every ReplaceFile carries the attributes over (Wine's does not).
  if (written && attributes != INVALID_FILE_ATTRIBUTES &&
      GetFileAttributesW(target.c_str()) != attributes) {
    SetFileAttributesW(target.c_str(), attributes);
  }
  if (!written) DeleteFileW(fresh.c_str());
  releaseSaversTurn(replacement.hold);
  replacement.hold = -1;
  return written;
}

}  // namespace hushlink

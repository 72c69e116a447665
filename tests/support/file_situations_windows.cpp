// SPDX-License-Identifier: GPL-2.0-or-later
#include <windows.h>

#include <cstdio>

#include "tests/support/file_situations.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {

namespace fs = std::filesystem;

const bool kOnWindows = true;

namespace {

std::shared_ptr<void> onRelease(std::function<void()> undo) {
  return std::shared_ptr<void>(nullptr, [undo = std::move(undo)](void*) { undo(); });
}

// The attributes a save must keep. The archive bit is the system's to set on
// every change, so it says nothing about the save.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

// The read-only attribute, and a reader that shares the file with no writer:
// Wine run as root lets a writer past the attribute, but not past that.
Arranged makeUnwritable(const fs::path& path) {
  auto attribute = std::make_shared<UnwritableFile>(path);
  if (!attribute->ok()) {
    return Arranged::cannot("a folder's read-only attribute refuses nothing on Windows");
  }
  const HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return Arranged::cannot("cannot hold the file open");
  return Arranged::holding(onRelease([attribute, reader] { CloseHandle(reader); }));
}

// Opened with no sharing at all: nobody else may open it until it is closed.
Arranged makeUnreadable(const fs::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Arranged::cannot("cannot open the file exclusively");
  return Arranged::holding(onRelease([file] { CloseHandle(file); }));
}

Arranged makeFolderRefuseNewFiles(const fs::path&) {
  return Arranged::cannot(
      "nothing a test may do on Windows makes a folder refuse new files to its owner");
}

Arranged mountFullDisk(const fs::path&) {
  return Arranged::cannot("a test cannot mount a small file system on Windows");
}

Arranged makePipe(const fs::path&) {
  return Arranged::cannot("Windows has no named pipes among files");
}

Arranged makeSymbolicLink(const fs::path& link, const fs::path& target) {
  std::error_code error;
  fs::create_symlink(target, link, error);
  if (error) return Arranged::cannot("cannot make a symbolic link here: " + error.message());
  return {};
}

Arranged linkToNullDevice(const fs::path&) {
  return Arranged::cannot("a file on Windows cannot be a link to a device");
}

Arranged setOwnerAndPermissions(const fs::path&) {
  return Arranged::cannot(
      "files on Windows carry an access list, not an owner and permission bits");
}

Arranged addAccessListAndAttribute(const fs::path&) {
  return Arranged::cannot("Wine keeps no access lists of its own to carry");
}

Arranged setHiddenAttribute(const fs::path& path) {
  if (!SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE)) {
    return Arranged::cannot("cannot set the hidden attribute");
  }
  return Arranged::holding(
      onRelease([path] { SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); }));
}

Arranged belongToSomeoneElsesGroup(const fs::path&) {
  return Arranged::cannot("Windows files have no owning group to write through");
}

std::string fileMetadata(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return "<none>";
  char words[32];
  std::snprintf(words, sizeof words, "attributes %#lx",
                static_cast<unsigned long>(attributes & kKeptAttributes));
  return words;
}

}  // namespace hushlink::testing

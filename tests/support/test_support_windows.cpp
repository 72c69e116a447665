// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tests/support/test_support.h"
#include "tests/support/windows_support.h"

namespace hushlink::testing {

namespace fs = std::filesystem;

std::string fileIdentity(const fs::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION information;
  const bool known = GetFileInformationByHandle(file, &information) != 0;
  CloseHandle(file);
  if (!known) return {};
  return std::to_string(information.dwVolumeSerialNumber) + ":" +
         std::to_string(information.nFileIndexHigh) + ":" +
         std::to_string(information.nFileIndexLow);
}

std::string readShared(const fs::path& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? "<missing>" : "<error " + std::to_string(error) + ">";
  }
  std::string content;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) content.append(chunk, got);
  CloseHandle(file);
  return content;
}

std::size_t openFileCount() {
  std::size_t open = 0;
  for (int descriptor = 0; descriptor < 2048; ++descriptor) {
    open += _get_osfhandle(descriptor) != -1;
  }
  return open;
}

bool moduleIsLoaded() { return GetModuleHandleA(HUSHLINK_MODULE) != nullptr; }

CapturedOutput::CapturedOutput(int descriptor) : descriptor_(descriptor) {
  std::fflush(nullptr);
  wchar_t folder[MAX_PATH];
  wchar_t name[MAX_PATH];
  if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"hlc", 0, name) == 0) {
    throw std::runtime_error("no temporary file for the capture");
  }
  file_ = name;
  // Text mode, as the standard descriptors have it: the line ends the host
  // would see.
  const int file = _wopen(name, _O_WRONLY | _O_TRUNC | _O_TEXT);
  if (file < 0) throw std::runtime_error("cannot open the capture file");
  saved_ = _dup(descriptor_);
  _dup2(file, descriptor_);
  _close(file);
}

CapturedOutput::~CapturedOutput() { text(); }

std::string CapturedOutput::sofar() const {
  if (saved_ < 0) return text_;
  std::fflush(nullptr);
  return readFile(file_);
}

std::string CapturedOutput::text() {
  if (saved_ >= 0) {
    std::fflush(nullptr);
    _dup2(saved_, descriptor_);
    _close(saved_);
    saved_ = -1;
    text_ = readFile(file_);
    DeleteFileW(file_.c_str());
  }
  return text_;
}

LoadedModule::LoadedModule() {
  handle_ = LoadLibraryA(HUSHLINK_MODULE);
  if (handle_ == nullptr) {
    throw std::runtime_error("cannot load " HUSHLINK_MODULE ": error " +
                             std::to_string(GetLastError()));
  }
#define HUSHLINK_RESOLVE(name, number, type) name = get<type>(#name);
  HUSHLINK_ENTRY_POINTS(HUSHLINK_RESOLVE)
#undef HUSHLINK_RESOLVE
}

LoadedModule::~LoadedModule() {
  if (shutdownAtUnload_) FWshutdown();
  FreeLibrary(static_cast<HMODULE>(handle_));
}

void* LoadedModule::symbol(const char* name) const {
  void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
  if (address == nullptr) throw std::runtime_error(std::string("missing entry point ") + name);
  return address;
}

struct ShownMessages::Watch {
  BoxWatch boxes;
};

ShownMessages::ShownMessages() : watch_(new Watch) {}

ShownMessages::~ShownMessages() { delete watch_; }

std::vector<ShownMessage> ShownMessages::shown() const {
  std::vector<ShownMessage> result;
  for (const Box& box : watch_->boxes.boxes()) result.push_back({box.caption, box.text});
  return result;
}

// Windows has no flag that keeps root from a file; the read-only attribute
// is what makes a plain rewrite fail there. A folder's read-only attribute
// refuses nothing.
UnwritableFile::UnwritableFile(const fs::path& path) : path_(path) { ok_ = set(true); }

UnwritableFile::~UnwritableFile() {
  if (ok_) set(false);
}

bool UnwritableFile::set(bool on) {
  const DWORD attributes = GetFileAttributesW(path_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  const DWORD changed =
      on ? attributes | FILE_ATTRIBUTE_READONLY : attributes & ~FILE_ATTRIBUTE_READONLY;
  return SetFileAttributesW(path_.c_str(), changed) != 0;
}

ScopedEnvironment::ScopedEnvironment(
    std::initializer_list<std::pair<const char*, const char*>> variables) {
  for (const auto& [name, value] : variables) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old != nullptr, old != nullptr ? old : ""});
    _putenv_s(name, value != nullptr ? value : "");
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
    _putenv_s(saved->name.c_str(), saved->wasSet ? saved->value.c_str() : "");
  }
}

// Message boxes on Windows are caught by ShownMessages: nothing to switch off.
void useHeadlessSession() {}

}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "tests/support/test_support.h"

extern char** environ;

namespace hushlink::testing {

namespace fs = std::filesystem;

std::string fileIdentity(const fs::path& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return {};
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

std::string readShared(const fs::path& path) { return readFile(path); }

std::size_t openFileCount() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

bool moduleIsLoaded() {
  void* handle = ::dlopen(HUSHLINK_MODULE, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) ::dlclose(handle);
  return handle != nullptr;
}

CapturedOutput::CapturedOutput(int descriptor) : descriptor_(descriptor) {
  std::fflush(nullptr);
  char pattern[] = "/tmp/hushlink-capture-XXXXXX";
  const int file = ::mkstemp(pattern);
  if (file < 0) throw std::runtime_error("mkstemp failed");
  file_ = pattern;
  saved_ = ::dup(descriptor_);
  ::dup2(file, descriptor_);
  ::close(file);
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
    ::dup2(saved_, descriptor_);
    ::close(saved_);
    saved_ = -1;
    text_ = readFile(file_);
    ::unlink(file_.c_str());
  }
  return text_;
}

LoadedModule::LoadedModule() {
  handle_ = ::dlopen(HUSHLINK_MODULE, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(::dlerror());
#define HUSHLINK_RESOLVE(name, number, type) name = get<type>(#name);
  HUSHLINK_ENTRY_POINTS(HUSHLINK_RESOLVE)
#undef HUSHLINK_RESOLVE
}

LoadedModule::~LoadedModule() {
  if (shutdownAtUnload_) FWshutdown();
  ::dlclose(handle_);
}

void* LoadedModule::symbol(const char* name) const {
  void* address = ::dlsym(handle_, name);
  if (address == nullptr) throw std::runtime_error(std::string("missing entry point ") + name);
  return address;
}

// Headless, the plugin writes "Message: TEXT" on standard error for each box.
struct ShownMessages::Watch {
  CapturedOutput err{2};
};

ShownMessages::ShownMessages() {
  useHeadlessSession();
  watch_ = new Watch;
}

ShownMessages::~ShownMessages() { delete watch_; }

// Each line "CAPTION: TEXT", the caption one word, is a box: the tests check
// the caption the plugin wrote, not one made up here.
std::vector<ShownMessage> ShownMessages::shown() const {
  std::vector<ShownMessage> result;
  std::istringstream captured(watch_->err.sofar());
  for (std::string line; std::getline(captured, line);) {
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos || colon == 0 || line.find(' ') < colon) continue;
    result.push_back({line.substr(0, colon), line.substr(colon + 2)});
  }
  return result;
}

UnwritableFile::UnwritableFile(const fs::path& path) : path_(path) { ok_ = set(true); }

UnwritableFile::~UnwritableFile() {
  if (ok_) set(false);
}

bool UnwritableFile::set(bool on) {
  const int descriptor = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
  if (descriptor < 0) return false;
  int flags = 0;
  bool done = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  done = done && ::ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(descriptor);
  return done;
}

ScopedEnvironment::ScopedEnvironment(
    std::initializer_list<std::pair<const char*, const char*>> variables) {
  for (const auto& [name, value] : variables) {
    const char* old = std::getenv(name);
    saved_.push_back({name, old != nullptr, old != nullptr ? old : ""});
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
}

ScopedEnvironment::~ScopedEnvironment() {
  for (auto saved = saved_.rbegin(); saved != saved_.rend(); ++saved) {
    if (saved->wasSet) {
      ::setenv(saved->name.c_str(), saved->value.c_str(), 1);
    } else {
      ::unsetenv(saved->name.c_str());
    }
  }
}

void useHeadlessSession() {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
}

}  // namespace hushlink::testing

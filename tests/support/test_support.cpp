// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/test_support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace hushlink::testing {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> folderEntries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TempWorkingDirectory::TempWorkingDirectory(Layout layout) {
  previous_ = std::filesystem::current_path();
  std::string pattern = (std::filesystem::temp_directory_path() / "hushlink-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  if (layout & kInis) std::filesystem::create_directory(path_ / "inis");
  if (layout & kLogs) std::filesystem::create_directory(path_ / "logs");
  std::filesystem::current_path(path_);
}

TempWorkingDirectory::~TempWorkingDirectory() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
  std::filesystem::remove_all(path_, ignored);
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

ImmutableFile::ImmutableFile(const std::filesystem::path& path) : path_(path) {
  ok_ = setFlag(true);
}

ImmutableFile::~ImmutableFile() {
  if (ok_) setFlag(false);
}

bool ImmutableFile::setFlag(bool on) {
  const int descriptor = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK);
  if (descriptor < 0) return false;
  int flags = 0;
  bool done = ::ioctl(descriptor, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  done = done && ::ioctl(descriptor, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(descriptor);
  return done;
}

CommandResult runCommand(const std::vector<std::string>& arguments) {
  char outPattern[] = "/tmp/hushlink-out-XXXXXX";
  char errPattern[] = "/tmp/hushlink-err-XXXXXX";
  const int out = ::mkstemp(outPattern);
  const int err = ::mkstemp(errPattern);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child;
  const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned == 0) {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::close(out);
  ::close(err);
  CommandResult result{spawned != 0 ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : 128),
                       readFile(outPattern), readFile(errPattern)};
  ::unlink(outPattern);
  ::unlink(errPattern);
  return result;
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

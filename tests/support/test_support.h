// SPDX-License-Identifier: GPL-2.0-or-later
// What the tests share: a throw-away working directory laid out the way the
// host's is, output capture, and the built module loaded like the host does.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "plugin/hushlink.h"

namespace hushlink::testing {

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& content);
// The names in a folder, sorted; links are listed, not followed.
std::vector<std::string> folderEntries(const std::filesystem::path& directory);

// A fresh temporary directory made the current one for the object's lifetime,
// with the plugin's "inis" and "logs" folders where asked for.
class TempWorkingDirectory {
 public:
  enum Layout { kEmpty = 0, kInis = 1, kLogs = 2, kBoth = kInis | kLogs };
  explicit TempWorkingDirectory(Layout layout = kBoth);
  ~TempWorkingDirectory();
  TempWorkingDirectory(const TempWorkingDirectory&) = delete;
  TempWorkingDirectory& operator=(const TempWorkingDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string log() const { return readFile(path_ / "logs/Hushlink.log"); }
  std::string settingsFile() const { return readFile(path_ / "inis/Hushlink.ini"); }
  void writeSettings(const std::string& content) const {
    writeFile(path_ / "inis/Hushlink.ini", content);
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

// Everything written to a file descriptor (1 or 2) while the object lives.
class CapturedOutput {
 public:
  explicit CapturedOutput(int descriptor);
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  // Stops capturing (once) and returns what was written.
  std::string text();

 private:
  int descriptor_;
  int saved_ = -1;
  std::string file_;
  std::string text_;
};

// The built plugin module, loaded afresh (so its state starts as at load) and
// unloaded again when the object goes.
class LoadedModule {
 public:
  LoadedModule();
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  void* symbol(const char* name) const;
  // Unloads without calling FWshutdown first, as a careless host does.
  void skipShutdownAtUnload() { shutdownAtUnload_ = false; }
  template <typename Fn>
  Fn get(const char* name) const {
    return reinterpret_cast<Fn>(symbol(name));
  }

  // One member per entry point, named after it: plugin.FWinit().
#define HUSHLINK_ENTRY_POINT_MEMBER(name, number, type) type name;
  HUSHLINK_ENTRY_POINTS(HUSHLINK_ENTRY_POINT_MEMBER)
#undef HUSHLINK_ENTRY_POINT_MEMBER

 private:
  void* handle_;
  bool shutdownAtUnload_ = true;
};

struct CommandResult {
  int exitCode;
  std::string out;
  std::string err;
};

// Marks a file or a folder immutable, which even root cannot write, rename
// over, delete or (a folder) add to; undone when the object goes. ok() is
// false where the file system has no such flag or we may not set it.
class ImmutableFile {
 public:
  explicit ImmutableFile(const std::filesystem::path& path);
  ~ImmutableFile();
  ImmutableFile(const ImmutableFile&) = delete;
  ImmutableFile& operator=(const ImmutableFile&) = delete;
  bool ok() const { return ok_; }

 private:
  bool setFlag(bool on);
  std::filesystem::path path_;
  bool ok_;
};

// Runs a program (no shell) in the current directory and waits for it.
CommandResult runCommand(const std::vector<std::string>& arguments);

// The dialog programs are left out of the picture unless a test sets one up.
void useHeadlessSession();

// Environment variables set (or, with a null value, unset) for the object's
// lifetime, and put back as they were when it goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::initializer_list<std::pair<const char*, const char*>> variables);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  struct Saved {
    std::string name;
    bool wasSet;
    std::string value;
  };
  std::vector<Saved> saved_;
};

// A test in its own working directory with "inis" and "logs", the module
// freshly loaded, and no desktop for message boxes (they go to stderr).
class PluginTest : public ::testing::Test {
 protected:
  PluginTest() { useHeadlessSession(); }

  // Writes the setting, then FWinit; expects the store to be allocated.
  void initWithLogging(int logging) {
    directory.writeSettings("logging = " + std::to_string(logging) + "\n");
    ASSERT_EQ(plugin.FWinit(), 0);
  }

  TempWorkingDirectory directory;
  LoadedModule plugin;
};

}  // namespace hushlink::testing

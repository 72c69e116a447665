// SPDX-License-Identifier: GPL-2.0-or-later
// What the tests share on every platform: a throw-away working directory
// laid out the way the host's is, output capture, the built module loaded
// the way the host loads it, and the message boxes it shows, answered and
// recorded. Each platform's half is in test_support_posix.cpp or
// test_support_windows.cpp.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/system/scratch_directory.h"
#include "plugin/hushlink.h"
#include "plugin/settings/file_system.h"

namespace hushlink::testing {

std::string readFile(const std::filesystem::path& path);  // "<missing>" when absent
void writeFile(const std::filesystem::path& path, const std::string& content);
// The names in a folder, sorted; links are listed, not followed.
std::vector<std::string> folderEntries(const std::filesystem::path& directory);

// The file read the way a reader that keeps out of a writer's way reads it:
// on Windows, opened with every kind of sharing, so that it may be replaced
// while open. "<missing>" when there is no such file.
std::string readShared(const std::filesystem::path& path);

// Text as the plugin writes it: each line followed by the platform's line
// end ("\n", or "\r\n" on Windows).
std::string lines(std::initializer_list<std::string_view> texts);

// Which file a path names, as the file system tells files apart (device and
// inode; on Windows volume and file index); empty when it names none. A file
// replaced by another has a new identity; one rewritten in place keeps it.
std::string fileIdentity(const std::filesystem::path& path);

// How many files the process has open (descriptors; on Windows those of the
// C runtime the module shares with the test).
std::size_t openFileCount();

// A saver's patience that waits for nobody: the turn is had at once, when
// it is free and no other saver waits for it, or not at all.
class NoPatience final : public files::Patience {
 public:
  bool keepWaiting() override { return false; }
  std::chrono::milliseconds timeLeft() const override { return {}; }
};

// Whether the built module is still loaded in this process.
bool moduleIsLoaded();

// Savers at once in a memory-backed folder wait on each other, not on a disk
// that other work keeps busy: on a busy disk one sync can take longer than a
// saver waits for a stuck one.
using host::memoryBackedTempFolder;

// A fresh scratch folder under `in` made the current one for the object's
// lifetime, with the plugin's "inis" and "logs" folders where asked for.
class TempWorkingDirectory {
 public:
  enum Layout {
    kEmpty = host::ScratchDirectory::kNoFolders,
    kInis = host::ScratchDirectory::kSettingsFolder,
    kLogs = host::ScratchDirectory::kLogFolder,
    kBoth = host::ScratchDirectory::kBothFolders
  };
  explicit TempWorkingDirectory(Layout layout = kBoth, const std::filesystem::path& in =
                                                           std::filesystem::temp_directory_path());

  const std::filesystem::path& path() const { return scratch_.path(); }
  std::string log() const;
  std::string settingsFile() const;
  void writeSettings(const std::string& content) const;

 private:
  host::ScratchDirectory scratch_;
};

// Everything written to a standard descriptor (1 or 2) while the object
// lives, through the C runtime the module shares with the test.
class CapturedOutput {
 public:
  explicit CapturedOutput(int descriptor);
  ~CapturedOutput();
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  // What was written so far; capture goes on.
  std::string sofar() const;
  // Stops capturing (once) and returns what was written.
  std::string text();

 private:
  int descriptor_;
  int saved_ = -1;
  std::filesystem::path file_;
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

// A message box the plugin showed, as the user saw it.
struct ShownMessage {
  std::string caption;
  std::string text;  // UTF-8
};

// Every message box the plugin shows while the object lives is answered at
// once (OK pressed) and recorded. On Windows the boxes are real and caught
// as they open; elsewhere the plugin runs without a desktop and writes its
// "Message:" lines to standard error, which this captures.
class ShownMessages {
 public:
  ShownMessages();
  ~ShownMessages();
  ShownMessages(const ShownMessages&) = delete;
  ShownMessages& operator=(const ShownMessages&) = delete;

  std::vector<ShownMessage> shown() const;
  std::vector<std::string> texts() const;

 private:
  struct Watch;
  Watch* watch_;
};

// A file or a folder that nobody, root included, may write, rename over or
// (a folder) add to, while the object lives: the immutable flag, or on
// Windows the read-only attribute. ok() is false where that cannot be had.
class UnwritableFile {
 public:
  explicit UnwritableFile(const std::filesystem::path& path);
  ~UnwritableFile();
  UnwritableFile(const UnwritableFile&) = delete;
  UnwritableFile& operator=(const UnwritableFile&) = delete;
  bool ok() const { return ok_; }

 private:
  bool set(bool on);
  std::filesystem::path path_;
  bool ok_;
};

struct CommandResult {
  int exitCode;
  std::string out;
  std::string err;
};

// Runs a program (its full path, no shell) in the current directory, with
// standard input empty, and waits for it; -1 when it could not be started,
// 128 when it did not exit by itself.
CommandResult runCommand(const std::vector<std::string>& arguments);

// Runs the built hushlink-host with `arguments` in the current directory.
CommandResult runHost(const std::vector<std::string>& arguments);

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

// Without a desktop session, the plugin's message boxes are lines on
// standard error: no dialog program can open a window from a test.
void useHeadlessSession();

// A test in its own working directory with "inis" and "logs", the module
// freshly loaded, and its message boxes answered and recorded.
class PluginTest : public ::testing::Test {
 protected:
  // Writes the setting, then FWinit; expects the store to be allocated.
  void initWithLogging(int logging) {
    directory.writeSettings("logging = " + std::to_string(logging) + "\n");
    ASSERT_EQ(plugin.FWinit(), 0);
  }

  ShownMessages messages;
  TempWorkingDirectory directory;
  LoadedModule plugin;
};

// The harness end to end: headless, in a working directory of its own.
class HarnessTest : public ::testing::Test {
 protected:
  HarnessTest() { useHeadlessSession(); }
  TempWorkingDirectory directory;
};

}  // namespace hushlink::testing

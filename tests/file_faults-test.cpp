// SPDX-License-Identifier: GPL-2.0-or-later
// The file system at its worst: settings and log paths that are directories
// or files where folders belong, files that cannot be written even by root,
// a full disk, and settings files that are huge or hold binary junk.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStartLines = "Hushlink plugin version 0,6\nInitializing Hushlink\n";

TEST_F(PluginTest, SavingLeavesNoTemporaryFileAndKeepsThePermissions) {
  directory.writeSettings("logging=9 (edited)\n");
  fs::permissions(directory.path() / "inis/Hushlink.ini", fs::perms(0640));
  CapturedOutput err(2);
  plugin.FWconfigure();
  EXPECT_EQ(directory.settingsFile(), "logging = 9\n");
  EXPECT_EQ(folderEntries(directory.path() / "inis"), std::vector<std::string>{"Hushlink.ini"});
  EXPECT_EQ(fs::status(directory.path() / "inis/Hushlink.ini").permissions(), fs::perms(0640));
}

TEST_F(PluginTest, ASettingsFileThatCannotBeWrittenIsLeftAsItWasAndTheFailureLogged) {
  initWithLogging(2);
  directory.writeSettings("logging=2 # mine, hands off\n");
  ImmutableFile locked(directory.path() / "inis/Hushlink.ini");
  if (!locked.ok()) GTEST_SKIP() << "cannot make a file immutable here (needs root on ext4)";
  CapturedOutput err(2);
  plugin.FWconfigure();
  EXPECT_EQ(directory.settingsFile(), "logging=2 # mine, hands off\n");
  EXPECT_EQ(folderEntries(directory.path() / "inis"), std::vector<std::string>{"Hushlink.ini"});
  EXPECT_EQ(directory.log(), std::string(kStartLines) + "Failed to open inis//Hushlink.ini\n\n");
}

// A directory where the settings file belongs is neither read as an empty
// file nor replaced: the value in memory stays, and both failures are logged.
TEST_F(PluginTest, ASettingsFileThatIsADirectoryKeepsTheValueInMemory) {
  initWithLogging(6);
  fs::remove(directory.path() / "inis/Hushlink.ini");
  fs::create_directory(directory.path() / "inis/Hushlink.ini");
  CapturedOutput err(2);
  plugin.FWconfigure();
  plugin.FWread32(0x44);
  EXPECT_TRUE(fs::is_directory(directory.path() / "inis/Hushlink.ini"));
  EXPECT_EQ(directory.log(), std::string(kStartLines) +
                                 "Failed to open inis//Hushlink.ini\n"
                                 "Failed to open inis//Hushlink.ini\n\n"
                                 "Failed to open inis//Hushlink.ini\n\n"
                                 "FW read mem 0x44: 0x0\n");
}

TEST(FileFaults, AFileWhereTheSettingsFolderBelongsIsLeftAlone) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kLogs);
  writeFile(directory.path() / "inis", "not a folder\n");
  LoadedModule plugin;
  CapturedOutput err(2);
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWconfigure();
  plugin.FWwrite32(8, 9);
  EXPECT_EQ(plugin.FWread32(8), 9u);
  EXPECT_EQ(readFile(directory.path() / "inis"), "not a folder\n");
  EXPECT_EQ(directory.log(), "");
}

struct LogPathCase {
  const char* name;
  bool directoryInPlace;  // else an immutable file
  friend void PrintTo(const LogPathCase& c, std::ostream* os) { *os << c.name; }
};

class UnwritableLogTest : public PluginTest, public ::testing::WithParamInterface<LogPathCase> {};

TEST_P(UnwritableLogTest, ThePluginRunsSilently) {
  const fs::path log = directory.path() / "logs/Hushlink.log";
  std::unique_ptr<ImmutableFile> locked;
  if (GetParam().directoryInPlace) {
    fs::create_directory(log);
  } else {
    writeFile(log, "old log\n");
    locked = std::make_unique<ImmutableFile>(log);
    if (!locked->ok()) GTEST_SKIP() << "cannot make a file immutable here (needs root on ext4)";
  }
  directory.writeSettings("logging = 1\n");
  CapturedOutput out(1);
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWwrite32(0x30, 3);
  EXPECT_EQ(plugin.FWread32(0x30), 3u);
  plugin.FWshutdown();
  EXPECT_EQ(out.text(), "");
  if (!GetParam().directoryInPlace) {
    EXPECT_EQ(readFile(log), "old log\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, UnwritableLogTest,
                         ::testing::Values(LogPathCase{"Directory", true},
                                           LogPathCase{"ImmutableFile", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// On a full disk the new settings line cannot be written: the old one stays,
// whole, and nothing is left beside it.
TEST(FileFaults, AFullDiskKeepsTheOldSettingsLine) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kEmpty);
  const fs::path disk = directory.path() / "disk";
  fs::create_directory(disk);
  if (::mount("hushlink-test", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small file system here (needs root)";
  }
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  fs::create_directory(disk / "inis");
  writeFile(disk / "inis/Hushlink.ini", "logging=4\n");
  {
    std::FILE* filler = std::fopen((disk / "filler").c_str(), "w");
    ASSERT_NE(filler, nullptr);
    const std::string block(4096, 'x');
    while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
           std::fflush(filler) == 0) {
    }
    std::fclose(filler);
  }
  fs::current_path(disk);
  LoadedModule plugin;
  CapturedOutput err(2);
  plugin.FWconfigure();
  EXPECT_EQ(readFile(disk / "inis/Hushlink.ini"), "logging=4\n");
  EXPECT_EQ(folderEntries(disk / "inis"), std::vector<std::string>{"Hushlink.ini"});
  fs::current_path(directory.path());
}

long peakMemoryKilobytes() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct HugeCase {
  const char* name;
  std::string start;
  char filler;
  const char* savedBack;
  friend void PrintTo(const HugeCase& c, std::ostream* os) { *os << c.name; }
};

class HugeSettingsTest : public PluginTest, public ::testing::WithParamInterface<HugeCase> {};

// Megabytes without a newline are read as a stream: the value follows the
// usual rules, and the plugin's memory does not grow with the file.
TEST_P(HugeSettingsTest, IsReadWithoutHoldingItInMemory) {
  const HugeCase& c = GetParam();
  constexpr std::size_t kSize = 48 << 20;
  {
    std::FILE* file = std::fopen((directory.path() / "inis/Hushlink.ini").c_str(), "w");
    std::fputs(c.start.c_str(), file);
    const std::string block(1 << 20, c.filler);
    for (std::size_t written = 0; written < kSize; written += block.size()) {
      std::fwrite(block.data(), 1, block.size(), file);
    }
    std::fclose(file);
  }
  const long before = peakMemoryKilobytes();
  CapturedOutput err(2);
  plugin.FWconfigure();
  EXPECT_LT(peakMemoryKilobytes() - before, 16 << 10);
  EXPECT_EQ(directory.settingsFile(), c.savedBack);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, HugeSettingsTest,
    ::testing::Values(HugeCase{"EndlessNumber", "logging = ", '9', "logging = 2147483647\n"},
                      HugeCase{"EndlessNegative", "logging = -", '7', "logging = -2147483648\n"},
                      HugeCase{"EndlessWhiteSpace", "logging", ' ', "logging = 0\n"},
                      HugeCase{"EndlessJunkAfterTheValue", "logging = 12", 'q', "logging = 12\n"},
                      HugeCase{"EndlessBinary", "\x01\xff", '\0', "logging = 0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hushlink::testing

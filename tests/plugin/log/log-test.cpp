// SPDX-License-Identifier: GPL-2.0-or-later
#include <filesystem>

#include "tests/expected.h"
#include "tests/support/file_situations.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

// The example session's lines, with the platform's line ends (CR LF on
// Windows, in the file and on standard output alike).
const std::string kSixLines =
    lines({"Hushlink plugin version 0,6", "Initializing Hushlink", "Opening Hushlink.",
           "FW read mem 0x1f808410: 0x8", "FW write mem 0x1f808410: 0x1", "Closing Hushlink."});
const std::string kStartLines = lines({"Hushlink plugin version 0,6", "Initializing Hushlink"});

class LogTest : public PluginTest {
 protected:
  // The session of the log's own example: init, open, read, write, close, shutdown.
  std::string runExampleSession() {
    CapturedOutput out(1);
    EXPECT_EQ(plugin.FWinit(), 0);
    plugin.FWopen(nullptr);
    EXPECT_EQ(plugin.FWread32(expected::kFixedReadAddress), expected::kFixedReadValue);
    plugin.FWwrite32(expected::kFixedReadAddress, 1);
    plugin.FWclose();
    plugin.FWshutdown();
    return out.text();
  }
};

TEST_F(LogTest, ExampleSessionWritesSixLinesToTheFileAndToStandardOutput) {
  directory.writeSettings("logging = 1\n");
  EXPECT_EQ(runExampleSession(), kSixLines);
  EXPECT_EQ(directory.log(), kSixLines);
}

TEST_F(LogTest, AnyNonZeroSettingLogs) {
  directory.writeSettings("logging = -2\n");
  EXPECT_EQ(runExampleSession(), kSixLines);
  EXPECT_EQ(directory.log(), kSixLines);
}

TEST_F(LogTest, LoggingOffLeavesAnEmptyLogAndASilentConsole) {
  directory.writeSettings("logging = 0\n");
  EXPECT_EQ(runExampleSession(), "");
  EXPECT_EQ(directory.log(), "");
}

TEST_F(LogTest, AccessLinesPrintTheFullAddressInLowerCaseHexWithoutLeadingZeros) {
  initWithLogging(1);
  CapturedOutput out(1);
  plugin.FWwrite32(0xABCDEF00, 0x0000BEEF);
  plugin.FWread32(0x0000EF00);
  plugin.FWwrite32(0, 0);
  plugin.FWread32(0xFFFFFFFF);
  const std::string expected =
      lines({"FW write mem 0xabcdef00: 0xbeef", "FW read mem 0xef00: 0xbeef",
             "FW write mem 0x0: 0x0", "FW read mem 0xffffffff: 0x0"});
  EXPECT_EQ(out.text(), expected);
  EXPECT_EQ(directory.log(), kStartLines + expected);
}

TEST_F(LogTest, EachInitTruncatesTheLog) {
  initWithLogging(1);
  plugin.FWread32(0x10);
  plugin.FWshutdown();
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWclose();
  EXPECT_EQ(directory.log(), kStartLines + lines({"Closing Hushlink."}));
}

TEST_F(LogTest, LinesAfterShutdownGoNowhere) {
  initWithLogging(1);
  plugin.FWshutdown();
  CapturedOutput out(1);
  plugin.FWopen(nullptr);
  plugin.FWread32(expected::kFixedReadAddress);
  plugin.FWclose();
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(directory.log(), kStartLines);
}

TEST(LogWithoutLogsDirectory, PluginWorksSilently) {
  ShownMessages messages;
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  LoadedModule plugin;
  directory.writeSettings("logging = 1\n");
  CapturedOutput out(1);
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWwrite32(0x20, 0x55);
  EXPECT_EQ(plugin.FWread32(0x20), 0x55u);
  plugin.FWclose();
  plugin.FWshutdown();
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "logs"));
}

struct LogPathCase {
  const char* name;
  bool folderInPlace;  // else a file nobody may write
  friend void PrintTo(const LogPathCase& c, std::ostream* os) { *os << c.name; }
};

class UnwritableLogTest : public PluginTest, public ::testing::WithParamInterface<LogPathCase> {};

// A log that cannot be opened: the plugin works, silently, and an old log
// stays as it was.
TEST_P(UnwritableLogTest, ThePluginRunsSilently) {
  const std::filesystem::path log = directory.path() / "logs/Hushlink.log";
  Arranged locked;
  if (GetParam().folderInPlace) {
    std::filesystem::create_directory(log);
  } else {
    writeFile(log, "old log\n");
    locked = makeUnwritable(log);
    if (!locked.notHere.empty()) GTEST_SKIP() << "Not on this platform: " << locked.notHere;
  }
  directory.writeSettings("logging = 1\n");
  CapturedOutput out(1);
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWwrite32(0x30, 3);
  EXPECT_EQ(plugin.FWread32(0x30), 3u);
  plugin.FWshutdown();
  EXPECT_EQ(out.text(), "");
  if (!GetParam().folderInPlace) {
    EXPECT_EQ(readFile(log), "old log\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, UnwritableLogTest,
                         ::testing::Values(LogPathCase{"Folder", true},
                                           LogPathCase{"FileNobodyMayWrite", false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hushlink::testing

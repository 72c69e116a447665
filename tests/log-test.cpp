// SPDX-License-Identifier: GPL-2.0-or-later
#include <filesystem>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

constexpr const char* kSixLines =
    "Hushlink plugin version 0,6\n"
    "Initializing Hushlink\n"
    "Opening Hushlink.\n"
    "FW read mem 0x1f808410: 0x8\n"
    "FW write mem 0x1f808410: 0x1\n"
    "Closing Hushlink.\n";

class LogTest : public PluginTest {
 protected:
  // The session of the log's own example: init, open, read, write, close, shutdown.
  std::string runExampleSession() {
    CapturedOutput out(1);
    EXPECT_EQ(plugin.FWinit(), 0);
    plugin.FWopen(nullptr);
    EXPECT_EQ(plugin.FWread32(0x1F808410), 8u);
    plugin.FWwrite32(0x1F808410, 1);
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
      "FW write mem 0xabcdef00: 0xbeef\n"
      "FW read mem 0xef00: 0xbeef\n"
      "FW write mem 0x0: 0x0\n"
      "FW read mem 0xffffffff: 0x0\n";
  EXPECT_EQ(out.text(), expected);
  EXPECT_EQ(directory.log(), "Hushlink plugin version 0,6\nInitializing Hushlink\n" + expected);
}

TEST_F(LogTest, EachInitTruncatesTheLog) {
  initWithLogging(1);
  plugin.FWread32(0x10);
  plugin.FWshutdown();
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWclose();
  EXPECT_EQ(directory.log(),
            "Hushlink plugin version 0,6\nInitializing Hushlink\nClosing Hushlink.\n");
}

TEST_F(LogTest, LinesAfterShutdownGoNowhere) {
  initWithLogging(1);
  plugin.FWshutdown();
  CapturedOutput out(1);
  plugin.FWopen(nullptr);
  plugin.FWread32(0x1F808410);
  plugin.FWclose();
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(directory.log(), "Hushlink plugin version 0,6\nInitializing Hushlink\n");
}

TEST(LogWithoutLogsDirectory, PluginWorksSilently) {
  useHeadlessSession();
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

}  // namespace
}  // namespace hushlink::testing

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
    EXPECT_EQ(plugin.init(), 0);
    plugin.open(nullptr);
    EXPECT_EQ(plugin.read32(0x1F808410), 8u);
    plugin.write32(0x1F808410, 1);
    plugin.close();
    plugin.shutdown();
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
  plugin.write32(0xABCDEF00, 0x0000BEEF);
  plugin.read32(0x0000EF00);
  plugin.write32(0, 0);
  plugin.read32(0xFFFFFFFF);
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
  plugin.read32(0x10);
  plugin.shutdown();
  ASSERT_EQ(plugin.init(), 0);
  plugin.close();
  EXPECT_EQ(directory.log(),
            "Hushlink plugin version 0,6\nInitializing Hushlink\nClosing Hushlink.\n");
}

TEST_F(LogTest, LinesAfterShutdownGoNowhere) {
  initWithLogging(1);
  plugin.shutdown();
  CapturedOutput out(1);
  plugin.open(nullptr);
  plugin.read32(0x1F808410);
  plugin.close();
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(directory.log(), "Hushlink plugin version 0,6\nInitializing Hushlink\n");
}

TEST(LogWithoutLogsDirectory, PluginWorksSilently) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  LoadedModule plugin;
  directory.writeSettings("logging = 1\n");
  CapturedOutput out(1);
  ASSERT_EQ(plugin.init(), 0);
  plugin.write32(0x20, 0x55);
  EXPECT_EQ(plugin.read32(0x20), 0x55u);
  plugin.close();
  plugin.shutdown();
  EXPECT_EQ(out.text(), "");
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "logs"));
}

}  // namespace
}  // namespace hushlink::testing

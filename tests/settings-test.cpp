// SPDX-License-Identifier: GPL-2.0-or-later
#include <filesystem>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

// ASCII text as a UTF-16 little-endian file holds it, without a mark.
std::string utf16le(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) out += std::string{c, '\0'};
  return out;
}

struct SettingsCase {
  const char* name;
  friend void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }
  std::string content;
  const char* savedBack;  // the file after FWconfigure: the value as read
};

// The value a settings file gives is what FWconfigure writes back; it also
// decides whether the session logs.
class SettingsContentTest : public PluginTest,
                            public ::testing::WithParamInterface<SettingsCase> {};

TEST_P(SettingsContentTest, ValueIsReadWithScanfRulesAndWrittenBackCanonically) {
  const SettingsCase& c = GetParam();
  directory.writeSettings(c.content);
  CapturedOutput err(2);
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(directory.settingsFile(), c.content) << "loading must not rewrite the file";
  plugin.FWconfigure();
  plugin.FWclose();
  plugin.FWshutdown();
  EXPECT_EQ(directory.settingsFile(), c.savedBack);
  const bool loggingOn = std::string(c.savedBack) != "logging = 0\n";
  EXPECT_EQ(directory.log().empty(), !loggingOn);
}

const SettingsCase kSettingsCases[] = {
    {"Canonical", "logging = 1\n", "logging = 1\n"},
    {"NoSpaces", "logging=1", "logging = 1\n"},
    {"Negative", "logging = -2\n", "logging = -2\n"},
    {"ExplicitPlus", "logging = +5\n", "logging = 5\n"},
    {"LeadingZeros", "logging = 007\n", "logging = 7\n"},
    {"SpacesTabsAndNewlines", "logging \t\n=\n\n  \t42\n", "logging = 42\n"},
    {"TrailingJunkIgnored", "logging = 3xyz\n", "logging = 3\n"},
    {"CrLf", "logging = 1\r\n", "logging = 1\n"},
    {"OnlyTheFirstLineCounts", "logging = 7\nlogging = 9\nmore\n", "logging = 7\n"},
    {"Empty", "", "logging = 0\n"},
    {"KeyAlone", "logging", "logging = 0\n"},
    {"NoNumber", "logging = \n", "logging = 0\n"},
    {"SignWithoutDigits", "logging = -\n", "logging = 0\n"},
    {"HexIsNotDecimal", "logging = 0x10\n", "logging = 0\n"},
    {"SpaceBeforeKey", " logging = 1\n", "logging = 0\n"},
    {"KeyInOtherCase", "Logging = 1\n", "logging = 0\n"},
    {"ShorterKey", "loggin = 1\n", "logging = 0\n"},
    {"OtherSeparator", "logging: 1\n", "logging = 0\n"},
    {"Utf8ByteOrderMark", "\xEF\xBB\xBFlogging = 1\r\n", "logging = 1\n"},
    {"Utf8ByteOrderMarkTwice", "\xEF\xBB\xBF\xEF\xBB\xBFlogging = 1\n", "logging = 0\n"},
    {"Utf8ByteOrderMarkCutShort", "\xEF\xBBlogging = 1\n", "logging = 0\n"},
    {"Utf16ByteOrderMark", "\xFF\xFE" + utf16le("logging = -9\r\n"), "logging = -9\n"},
    {"Utf16NonAsciiBeforeTheValue", "\xFF\xFE" + utf16le("logging=") + "\x01\x01" + utf16le("2"),
     "logging = 0\n"},
    {"Utf16OddByteAtTheEnd", "\xFF\xFE" + utf16le("logging=") + "3", "logging = 0\n"},
    {"Utf16WithoutItsMarkIsNotRead", utf16le("logging = 4"), "logging = 0\n"},
    {"Utf16BigEndianIsNotRead", "\xFE\xFF" + utf16le("logging = 4").substr(1), "logging = 0\n"},
    {"NulInsideKey", std::string("log\0ging = 1\n", 13), "logging = 0\n"},
    {"NulAfterTheValue", std::string("logging = 5\0\0junk", 17), "logging = 5\n"},
    {"NulBeforeTheValue", std::string("logging = \0 5\n", 14), "logging = 0\n"},
    {"BinaryJunk",
     "\x7f"
     "ELF\x02\x01\x01\x00\xff\xfe",
     "logging = 0\n"},
    {"CrLfBetweenKeyAndValue", "logging\r\n=\r\n8\r\n", "logging = 8\n"},
    {"Int32Max", "logging = 2147483647\n", "logging = 2147483647\n"},
    {"Int32Min", "logging = -2147483648\n", "logging = -2147483648\n"},
    {"HugeSaturatesHigh", "logging = 99999999999999999999999\n", "logging = 2147483647\n"},
    {"HugeSaturatesLow", "logging = -4294967296\n", "logging = -2147483648\n"},
    {"JustPastInt32Max", "logging = 2147483648\n", "logging = 2147483647\n"},
};

INSTANTIATE_TEST_SUITE_P(Contents, SettingsContentTest, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsFileMissing, IsCreatedWithTheCurrentValue) {
  useHeadlessSession();
  TempWorkingDirectory directory;
  LoadedModule plugin;
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(directory.settingsFile(), "logging = 0\n");
  EXPECT_EQ(directory.log(), "") << "logging stays off";
}

TEST(SettingsDirectoryMissing, NothingIsCreatedAndInitStillSucceeds) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kLogs);
  LoadedModule plugin;
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "inis"));
  EXPECT_EQ(directory.log(), "");
  plugin.FWwrite32(4, 9);
  EXPECT_EQ(plugin.FWread32(4), 9u);
}

// A missing settings file while the plugin runs: the loss is logged with the
// path as built, and the file written anew. Without the directory, saving
// fails too, and its message carries an extra newline.
TEST_F(PluginTest, SettingsFailuresAreLoggedWithThePathAsBuilt) {
  initWithLogging(5);
  std::filesystem::remove(directory.path() / "inis/Hushlink.ini");
  CapturedOutput err(2);
  plugin.FWconfigure();
  EXPECT_EQ(directory.settingsFile(), "logging = 5\n");

  std::filesystem::remove_all(directory.path() / "inis");
  plugin.FWconfigure();
  EXPECT_EQ(err.text(),
            "Message: This space intentionally left blank.\n"
            "Message: This space intentionally left blank.\n");
  EXPECT_EQ(directory.log(),
            "Hushlink plugin version 0,6\n"
            "Initializing Hushlink\n"
            "Failed to open inis//Hushlink.ini\n"
            "Failed to open inis//Hushlink.ini\n"
            "Failed to open inis//Hushlink.ini\n"
            "\n"
            "Failed to open inis//Hushlink.ini\n"
            "\n");
}

// The setting survives in memory when the file is gone: the next init writes
// it back, not 0, and keeps logging on.
TEST_F(PluginTest, MissingFileKeepsTheValueInMemory) {
  initWithLogging(3);
  plugin.FWshutdown();
  std::filesystem::remove(directory.path() / "inis/Hushlink.ini");
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(directory.settingsFile(), "logging = 3\n");
  EXPECT_EQ(directory.log(), "Hushlink plugin version 0,6\nInitializing Hushlink\n");
}

}  // namespace
}  // namespace hushlink::testing

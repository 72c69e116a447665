// SPDX-License-Identifier: GPL-2.0-or-later
// The settings file: what its content reads as, what a load does with a file
// it cannot read, and where a save writes and what it leaves, in every
// situation a user's file can be in. One suite for every platform; a row
// that only one platform can have says so.
#include "plugin/settings/settings.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include "plugin/settings/file_system.h"
#include "plugin/settings/settings_file.h"
#include "tests/support/file_situations.h"
#include "tests/support/test_support.h"

namespace hushlink {

// Outcomes by name in a failure's message.
void PrintTo(SaveOutcome outcome, std::ostream* os) {
  constexpr const char* kNames[] = {"Replaced", "InPlace", "Refused", "Failed"};
  *os << kNames[static_cast<int>(outcome)];
}

namespace testing {
namespace {

namespace fs = std::filesystem;

// ASCII text as a UTF-16 little-endian file holds it, without a mark.
std::string utf16le(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) out += std::string{c, '\0'};
  return out;
}

// ---- what a file's content reads as ----

struct ContentCase {
  const char* name;
  friend void PrintTo(const ContentCase& c, std::ostream* os) { *os << c.name; }
  std::string content;
  const char* savedBack;  // the line after FWconfigure: the value as read
};

// The value a settings file gives is what FWconfigure writes back; it also
// decides whether the session logs.
class SettingsContentTest : public PluginTest, public ::testing::WithParamInterface<ContentCase> {};

TEST_P(SettingsContentTest, ValueIsReadWithScanfRulesAndWrittenBackCanonically) {
  const ContentCase& c = GetParam();
  directory.writeSettings(c.content);
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(directory.settingsFile(), c.content) << "loading must not rewrite the file";
  plugin.FWconfigure();
  plugin.FWclose();
  plugin.FWshutdown();
  EXPECT_EQ(directory.settingsFile(), lines({c.savedBack}));
  const bool loggingOn = std::string(c.savedBack) != "logging = 0";
  EXPECT_EQ(directory.log().empty(), !loggingOn);
}

const ContentCase kContentCases[] = {
    {"Canonical", "logging = 1\n", "logging = 1"},
    {"NoSpaces", "logging=1", "logging = 1"},
    {"Negative", "logging = -2\n", "logging = -2"},
    {"ExplicitPlus", "logging = +5\n", "logging = 5"},
    {"LeadingZeros", "logging = 007\n", "logging = 7"},
    {"SpacesTabsAndNewlines", "logging \t\n=\n\n  \t42\n", "logging = 42"},
    {"TrailingJunkIgnored", "logging = 3xyz\n", "logging = 3"},
    {"CrLf", "logging = 1\r\n", "logging = 1"},
    {"OnlyTheFirstLineCounts", "logging = 7\nlogging = 9\nmore\n", "logging = 7"},
    {"Empty", "", "logging = 0"},
    {"KeyAlone", "logging", "logging = 0"},
    {"NoNumber", "logging = \n", "logging = 0"},
    {"SignWithoutDigits", "logging = -\n", "logging = 0"},
    {"HexIsNotDecimal", "logging = 0x10\n", "logging = 0"},
    {"SpaceBeforeKey", " logging = 1\n", "logging = 0"},
    {"KeyInOtherCase", "Logging = 1\n", "logging = 0"},
    {"ShorterKey", "loggin = 1\n", "logging = 0"},
    {"OtherSeparator", "logging: 1\n", "logging = 0"},
    {"Utf8ByteOrderMark", "\xEF\xBB\xBFlogging = 1\r\n", "logging = 1"},
    {"Utf8ByteOrderMarkTwice", "\xEF\xBB\xBF\xEF\xBB\xBFlogging = 1\n", "logging = 0"},
    {"Utf8ByteOrderMarkCutShort", "\xEF\xBBlogging = 1\n", "logging = 0"},
    {"Utf16ByteOrderMark", "\xFF\xFE" + utf16le("logging = -9\r\n"), "logging = -9"},
    {"Utf16NonAsciiBeforeTheValue", "\xFF\xFE" + utf16le("logging=") + "\x01\x01" + utf16le("2"),
     "logging = 0"},
    {"Utf16OddByteAtTheEnd", "\xFF\xFE" + utf16le("logging=") + "3", "logging = 0"},
    {"Utf16WithoutItsMarkIsNotRead", utf16le("logging = 4"), "logging = 0"},
    {"Utf16BigEndianIsNotRead", "\xFE\xFF" + utf16le("logging = 4").substr(1), "logging = 0"},
    {"NulInsideKey", std::string("log\0ging = 1\n", 13), "logging = 0"},
    {"NulAfterTheValue", std::string("logging = 5\0\0junk", 17), "logging = 5"},
    {"NulBeforeTheValue", std::string("logging = \0 5\n", 14), "logging = 0"},
    {"BinaryJunk",
     "\x7f"
     "ELF\x02\x01\x01\x00\xff\xfe",
     "logging = 0"},
    {"CrLfBetweenKeyAndValue", "logging\r\n=\r\n8\r\n", "logging = 8"},
    {"Int32Max", "logging = 2147483647\n", "logging = 2147483647"},
    {"Int32Min", "logging = -2147483648\n", "logging = -2147483648"},
    {"HugeSaturatesHigh", "logging = 99999999999999999999999\n", "logging = 2147483647"},
    {"HugeSaturatesLow", "logging = -4294967296\n", "logging = -2147483648"},
    {"JustPastInt32Max", "logging = 2147483648\n", "logging = 2147483647"},
    // Longer than one read of the file: the value is matched across reads.
    {"ValueAfterMuchWhiteSpace", "logging =" + std::string(10000, ' ') + "61\n", "logging = 61"},
};

INSTANTIATE_TEST_SUITE_P(Contents, SettingsContentTest, ::testing::ValuesIn(kContentCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- a load that finds no file, or one it cannot read ----

constexpr const char* kPath = "inis//Hushlink.ini";

struct LoadCase {
  const char* name;
  friend void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }
  // Replaces the file that FWinit read ("logging = 5") while the plugin runs.
  std::function<Arranged()> arrange;
  // What FWconfigure then logs, and whether logging is still on afterwards.
  std::vector<const char*> logged;
  bool loggingOn;
  const char* file;     // looked at afterwards
  std::string content;  // what it holds then
};

class SettingsLoadTest : public PluginTest, public ::testing::WithParamInterface<LoadCase> {};

// Only a file that is not there is written anew by the load. One that is
// there but cannot be read is left exactly as it is, and Configure does not
// write the value it holds in memory over it either: the user's own value
// may be in there.
TEST_P(SettingsLoadTest, OnlyAMissingFileIsWrittenAnew) {
  const LoadCase& c = GetParam();
  initWithLogging(5);
  Arranged arranged = c.arrange();
  if (!arranged.notHere.empty()) GTEST_SKIP() << "Not on this platform: " << arranged.notHere;
  plugin.FWconfigure();
  plugin.FWread32(0x44);
  arranged.undo.reset();
  std::vector<std::string_view> expected = {"Hushlink plugin version 0,6", "Initializing Hushlink"};
  expected.insert(expected.end(), c.logged.begin(), c.logged.end());
  if (c.loggingOn) expected.push_back("FW read mem 0x44: 0x0");
  std::string expectedLog;
  for (const std::string_view line : expected) expectedLog += lines({line});
  EXPECT_EQ(directory.log(), expectedLog);
  EXPECT_EQ(readFile(c.file), c.content);
  EXPECT_EQ(messages.texts(), std::vector<std::string>{"This space intentionally left blank."});
}

Arranged noArrangement() { return {}; }

const LoadCase kLoadCases[] = {
    {"FileMissing",
     [] {
       fs::remove("inis/Hushlink.ini");
       return noArrangement();
     },
     {"Failed to open inis//Hushlink.ini"},
     true,
     "inis/Hushlink.ini",
     lines({"logging = 5"})},
    {"FolderMissing",
     [] {
       fs::remove_all("inis");
       return noArrangement();
     },
     {"Failed to open inis//Hushlink.ini", "Failed to open inis//Hushlink.ini", "",
      "Failed to open inis//Hushlink.ini", ""},
     true,
     "inis/Hushlink.ini",
     "<missing>"},
    {"FolderWhereTheFileBelongs",
     [] {
       fs::remove("inis/Hushlink.ini");
       fs::create_directory("inis/Hushlink.ini");
       return noArrangement();
     },
     {"Failed to open inis//Hushlink.ini", "Failed to open inis//Hushlink.ini", ""},
     true,
     "inis/Hushlink.ini/x",
     "<missing>"},
    // No folder of that name: as good as missing.
    {"FileWhereTheFolderBelongs",
     [] {
       fs::remove_all("inis");
       writeFile("inis", "not a folder\n");
       return noArrangement();
     },
     {"Failed to open inis//Hushlink.ini", "Failed to open inis//Hushlink.ini", "",
      "Failed to open inis//Hushlink.ini", ""},
     true,
     "inis",
     "not a folder\n"},
    {"FileThatCannotBeReadNow",
     [] {
       writeFile("inis/Hushlink.ini", "logging=1 # mine\n");
       return makeUnreadable("inis/Hushlink.ini");
     },
     {"Failed to open inis//Hushlink.ini", "Failed to open inis//Hushlink.ini", ""},
     true,
     "inis/Hushlink.ini",
     "logging=1 # mine\n"},
    // Nobody writes to it: a load that waited for a writer would never return.
    {"PipeWithoutAWriter",
     [] {
       fs::remove("inis/Hushlink.ini");
       return makePipe("inis/Hushlink.ini");
     },
     {"Failed to open inis//Hushlink.ini", "Failed to open inis//Hushlink.ini", ""},
     true,
     "inis/x",
     "<missing>"},
    // A user's way to keep nothing: it reads as empty, so logging goes off,
    // and the save goes into it as a plain rewrite would.
    {"LinkToTheNullDevice",
     [] {
       fs::remove("inis/Hushlink.ini");
       return linkToNullDevice("inis/Hushlink.ini");
     },
     {},
     false,
     "inis/Hushlink.ini",
     ""},
};

INSTANTIATE_TEST_SUITE_P(Situations, SettingsLoadTest, ::testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

// With no settings folder at all, FWinit still succeeds, creates nothing,
// and the store works; nothing is logged, as the log is not open yet.
TEST(SettingsFolderMissing, NothingIsCreatedAndInitStillSucceeds) {
  ShownMessages messages;
  TempWorkingDirectory directory(TempWorkingDirectory::kLogs);
  LoadedModule plugin;
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_FALSE(fs::exists(directory.path() / "inis"));
  EXPECT_EQ(directory.log(), "");
  plugin.FWwrite32(4, 9);
  EXPECT_EQ(plugin.FWread32(4), 9u);
}

// A fresh load with no file yet writes the value it starts with, 0.
TEST(SettingsFileMissing, IsCreatedWithTheValueAFreshLoadHas) {
  ShownMessages messages;
  TempWorkingDirectory directory;
  LoadedModule plugin;
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(directory.settingsFile(), lines({"logging = 0"}));
  EXPECT_EQ(directory.log(), "") << "logging stays off";
}

// The setting survives in memory when the file is gone: the next init writes
// it back, not 0, and keeps logging on.
TEST_F(PluginTest, AMissingFileIsWrittenBackWithTheValueInMemory) {
  initWithLogging(3);
  plugin.FWshutdown();
  fs::remove(directory.path() / "inis/Hushlink.ini");
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(directory.settingsFile(), lines({"logging = 3"}));
  EXPECT_EQ(directory.log(), lines({"Hushlink plugin version 0,6", "Initializing Hushlink"}));
}

// A save that could not be made is logged, its line followed by an empty
// one, and the file is left as it was.
TEST_F(PluginTest, ASaveThatCannotBeMadeIsLoggedAndTheFileLeftAlone) {
  initWithLogging(2);
  directory.writeSettings("logging=2 # mine, hands off\n");
  const Arranged locked = makeUnwritable("inis/Hushlink.ini");
  if (!locked.notHere.empty()) GTEST_SKIP() << "Not on this platform: " << locked.notHere;
  plugin.FWconfigure();
  EXPECT_EQ(directory.settingsFile(), "logging=2 # mine, hands off\n");
  EXPECT_EQ(folderEntries(directory.path() / "inis"), std::vector<std::string>{"Hushlink.ini"});
  EXPECT_EQ(directory.log(), lines({"Hushlink plugin version 0,6", "Initializing Hushlink",
                                    "Failed to open inis//Hushlink.ini", ""}));
}

// ---- where a save writes, and what it leaves ----

using Folders = std::vector<std::pair<std::string, std::vector<std::string>>>;

enum class Identity { Kept, New, Irrelevant };

// The content a row expects afterwards: the new line, or exactly these bytes.
constexpr const char* kNewLine = "<the new line>";
constexpr std::int32_t kSavedValue = -7;

struct SaveCase {
  const char* name;
  friend void PrintTo(const SaveCase& c, std::ostream* os) { *os << c.name; }
  // Lays the situation out in the current (fresh) folder.
  std::function<Arranged()> arrange;
  SaveOutcome outcome;
  const char* file;     // whose content, identity and metadata are looked at
  const char* content;  // afterwards
  Identity identity;
  Folders folders;             // what each folder holds afterwards
  const char* link = nullptr;  // inis/Hushlink.ini must still be a link to this
};

class SettingsSaveTest : public ::testing::TestWithParam<SaveCase> {
 protected:
  TempWorkingDirectory directory{TempWorkingDirectory::kEmpty};
};

// The save writes where a plain rewrite would, with the outcome it names:
// replaced by a fresh file (a new identity), rewritten in place (the same
// one) only for a reason, or refused or failed with the old file untouched.
// What the file carries beyond its content is the same afterwards, and
// nothing is left beside it.
TEST_P(SettingsSaveTest, WritesWhereAPlainRewriteWouldAndKeepsWhatTheFileCarries) {
  const SaveCase& c = GetParam();
  const Arranged arranged = c.arrange();
  if (!arranged.notHere.empty()) GTEST_SKIP() << "Not on this platform: " << arranged.notHere;
  const std::string before = readFile(c.file);
  const std::string identity = fileIdentity(c.file);
  const std::string metadata = fileMetadata(c.file);
  const Saver save = arranged.saver ? arranged.saver : writeLogging;
  EXPECT_EQ(save(kPath, kSavedValue), c.outcome);
  const std::string newLine = lines({"logging = -7"});
  EXPECT_EQ(readFile(c.file), c.content == std::string(kNewLine) ? newLine : c.content);
  if (c.identity == Identity::Kept) {
    EXPECT_EQ(fileIdentity(c.file), identity) << "not in place";
  }
  if (c.identity == Identity::New) {
    EXPECT_NE(fileIdentity(c.file), identity) << "not replaced";
  }
  if (before != "<missing>") {
    EXPECT_EQ(fileMetadata(c.file), metadata);
  }
  for (const auto& [folder, names] : c.folders) {
    EXPECT_EQ(folderEntries(folder), names) << "in " << folder;
  }
  if (c.link != nullptr) {
    ASSERT_TRUE(fs::is_symlink("inis/Hushlink.ini"));
    EXPECT_EQ(fs::read_symlink("inis/Hushlink.ini"), c.link);
  }
}

Arranged settingsFile(const std::string& content = "logging=5\n") {
  fs::create_directories("inis");
  writeFile("inis/Hushlink.ini", content);
  return {};
}

// Links from each path to the next, relative to the link's folder; the last
// holds `content` (none: it does not exist yet).
Arranged linkedSettings(const std::vector<std::string>& chain, const char* content) {
  for (const std::string& path : chain) fs::create_directories(fs::path(path).parent_path());
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    const fs::path from = chain[i];
    const fs::path to = fs::relative(fs::absolute(chain[i + 1]), fs::absolute(from.parent_path()));
    const Arranged link = makeSymbolicLink(from, to);
    if (!link.notHere.empty()) return link;
  }
  if (content != nullptr) writeFile(chain.back(), content);
  return {};
}

// Another saver of the same file, in this process, that keeps its turn until
// the row is over.
Arranged anotherSaverHoldsTheTurn() {
  settingsFile();
  struct Holder {
    std::promise<void> release;
    std::thread thread;
    ~Holder() {
      release.set_value();
      thread.join();
    }
  };
  auto holder = std::make_shared<Holder>();
  std::promise<bool> taken;
  std::future<bool> takenResult = taken.get_future();
  holder->thread =
      std::thread([released = holder->release.get_future(), taken = std::move(taken)]() mutable {
        files::Target target;
        files::resolveFinalTarget(kPath, target.path);
        files::TurnHandle turn;
        NoPatience patience;
        taken.set_value(files::takeTurn(target, patience, turn) == files::Result::Done);
        released.wait();
      });
  if (!takenResult.get()) return Arranged::cannot("the turn could not be taken to hold it");
  return Arranged::holding(holder);
}

const SaveCase kSaveCases[] = {
    {"RegularFile",
     [] { return settingsFile(); },
     SaveOutcome::Replaced,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::New,
     {{"inis", {"Hushlink.ini"}}}},
    {"NoFileYet",
     [] {
       fs::create_directory("inis");
       return noArrangement();
     },
     SaveOutcome::Replaced,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::Irrelevant,
     {{"inis", {"Hushlink.ini"}}}},
    {"NoSettingsFolder",
     noArrangement,
     SaveOutcome::Refused,
     "inis/Hushlink.ini",
     "<missing>",
     Identity::Irrelevant,
     {{".", {}}}},
    {"FolderWhereTheFileBelongs",
     [] {
       fs::create_directories("inis/Hushlink.ini");
       return noArrangement();
     },
     SaveOutcome::Refused,
     "inis/Hushlink.ini/x",
     "<missing>",
     Identity::Irrelevant,
     {{"inis", {"Hushlink.ini"}}, {"inis/Hushlink.ini", {}}}},
    {"FileNobodyMayWrite",
     [] {
       settingsFile("logging=2 # mine, hands off\n");
       return makeUnwritable("inis/Hushlink.ini");
     },
     SaveOutcome::Refused,
     "inis/Hushlink.ini",
     "logging=2 # mine, hands off\n",
     Identity::Kept,
     {{"inis", {"Hushlink.ini"}}}},
    // A replacement would leave the other name holding the old line.
    {"FileWithASecondName",
     [] {
       settingsFile("logging=8\n");
       fs::create_directory("backup");
       fs::create_hard_link("inis/Hushlink.ini", "backup/Hushlink.ini");
       return noArrangement();
     },
     SaveOutcome::InPlace,
     "backup/Hushlink.ini",
     kNewLine,
     Identity::Kept,
     {{"inis", {"Hushlink.ini"}}, {"backup", {"Hushlink.ini"}}}},
    // The folder takes no fresh file, but the file itself may be written.
    {"FolderThatRefusesNewFiles",
     [] {
       settingsFile("logging=6\n");
       return makeFolderRefuseNewFiles("inis");
     },
     SaveOutcome::InPlace,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::Kept,
     {{"inis", {"Hushlink.ini"}}}},
    {"SomeoneElsesFileWrittenThroughItsGroup",
     [] {
       settingsFile("logging=9\n");
       return belongToSomeoneElsesGroup("inis/Hushlink.ini");
     },
     SaveOutcome::InPlace,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::Kept,
     {{"inis", {"Hushlink.ini"}}}},
    {"PermissionsAndOwner",
     [] {
       settingsFile("logging=4\n");
       return setOwnerAndPermissions("inis/Hushlink.ini");
     },
     SaveOutcome::Replaced,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::New,
     {{"inis", {"Hushlink.ini"}}}},
    {"AccessListAndExtendedAttribute",
     [] {
       settingsFile("logging=4\n");
       return addAccessListAndAttribute("inis/Hushlink.ini");
     },
     SaveOutcome::Replaced,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::New,
     {{"inis", {"Hushlink.ini"}}}},
    {"HiddenAttribute",
     [] {
       settingsFile("logging=4\n");
       return setHiddenAttribute("inis/Hushlink.ini");
     },
     SaveOutcome::Replaced,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::New,
     {{"inis", {"Hushlink.ini"}}}},
    {"LeftoverOfASaveCutShort",
     [] {
       settingsFile();
       writeFile("inis/Hushlink.ini.new", "logg");
       return noArrangement();
     },
     SaveOutcome::Replaced,
     "inis/Hushlink.ini",
     kNewLine,
     Identity::New,
     {{"inis", {"Hushlink.ini"}}}},
    {"LinkPlantedUnderTheFreshName",
     [] {
       settingsFile();
       fs::create_directory("elsewhere");
       writeFile("elsewhere/victim", "untouched\n");
       return makeSymbolicLink("inis/Hushlink.ini.new", "../elsewhere/victim");
     },
     SaveOutcome::Replaced,
     "elsewhere/victim",
     "untouched\n",
     Identity::Kept,
     {{"inis", {"Hushlink.ini"}}, {"elsewhere", {"victim"}}}},
    {"Link",
     [] {
       return linkedSettings({"inis/Hushlink.ini", "real/Hushlink.ini"}, "logging=5\n");
     },
     SaveOutcome::Replaced,
     "real/Hushlink.ini",
     kNewLine,
     Identity::New,
     {{"inis", {"Hushlink.ini"}}, {"real", {"Hushlink.ini"}}},
     "../real/Hushlink.ini"},
    {"ChainOfTwoLinks",
     [] {
       return linkedSettings({"inis/Hushlink.ini", "middle/Hushlink.ini", "real/Hushlink.ini"},
                             "logging=-7\n");
     },
     SaveOutcome::Replaced,
     "real/Hushlink.ini",
     kNewLine,
     Identity::New,
     {{"inis", {"Hushlink.ini"}}, {"middle", {"Hushlink.ini"}}, {"real", {"Hushlink.ini"}}},
     "../middle/Hushlink.ini"},
    {"LinkToAFileNotThereYet",
     [] {
       return linkedSettings({"inis/Hushlink.ini", "real/Hushlink.ini"}, nullptr);
     },
     SaveOutcome::Replaced,
     "real/Hushlink.ini",
     kNewLine,
     Identity::Irrelevant,
     {{"inis", {"Hushlink.ini"}}, {"real", {"Hushlink.ini"}}},
     "../real/Hushlink.ini"},
    {"FullDisk",
     [] {
       Arranged disk = mountFullDisk("disk");
       if (!disk.notHere.empty()) return disk;
       fs::create_directory("disk/inis");
       writeFile("disk/inis/Hushlink.ini", "logging=4\n");
       {
         // Fill it to the last byte, small writes last.
         std::FILE* filler = std::fopen("disk/filler", "wb");
         for (std::size_t block = 4096; block > 0; block /= 2) {
           const std::string bytes(block, 'x');
           while (std::fwrite(bytes.data(), 1, block, filler) == block &&
                  std::fflush(filler) == 0) {
           }
           std::clearerr(filler);
         }
         std::fclose(filler);
       }
       fs::create_directory_symlink("disk/inis", "inis");
       return disk;
     },
     SaveOutcome::Failed,
     "disk/inis/Hushlink.ini",
     "logging=4\n",
     Identity::Kept,
     {{"disk/inis", {"Hushlink.ini"}}}},
    {"AnotherSaverKeepsItsTurn",
     anotherSaverHoldsTheTurn,
     SaveOutcome::Failed,
     "inis/Hushlink.ini",
     "logging=5\n",
     Identity::Kept,
     {{"inis", {"Hushlink.ini"}}}},
    {"PipeWithoutAReader",
     [] {
       fs::create_directory("inis");
       return makePipe("inis/Hushlink.ini");
     },
     SaveOutcome::Refused,
     "inis/x",
     "<missing>",
     Identity::Irrelevant,
     {{"inis", {"Hushlink.ini"}}}},
    {"LinkToTheNullDevice",
     [] {
       fs::create_directory("inis");
       return linkToNullDevice("inis/Hushlink.ini");
     },
     SaveOutcome::InPlace,
     "inis/Hushlink.ini",
     "",
     Identity::Irrelevant,
     {{"inis", {"Hushlink.ini"}}}},
};

INSTANTIATE_TEST_SUITE_P(Situations, SettingsSaveTest, ::testing::ValuesIn(kSaveCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- savers at once ----

// Savers in several threads, each with lines of its own length, while
// another thread reads the file over and over: every read finds one whole
// line, every save has its turn, and only the settings file is left. The
// reader rests between looks as long as its look took, and at least a
// millisecond, so that it holds the file open at most half the time on any
// machine. Reading without pause, it kept a loaded two-core machine's
// processor from the saver holding the turn for the five seconds after which
// the others rightly give up. Resting a fixed millisecond on an emulated
// processor, where each look takes many times longer, it held the file open
// nearly all the time: a Windows save cannot replace a file someone has open,
// and after two seconds of finding it open it rightly failed.
TEST(SettingsSavers, TakeTurnsAndAReaderAlwaysFindsOneWholeLine) {
  TempWorkingDirectory directory(TempWorkingDirectory::kBoth, memoryBackedTempFolder());
  writeLogging(kPath, 1);
  constexpr int kSavers = 4;
  constexpr int kSaves = 150;
  std::vector<std::string> whole;
  for (int saver = 0; saver < kSavers; ++saver) {
    whole.push_back(lines({"logging = " + std::to_string(saver == 0 ? 1 : -1234567 * saver)}));
  }
  std::atomic<int> running{kSavers};
  std::atomic<int> failedSaves{0};
  std::vector<std::thread> savers;
  for (int saver = 0; saver < kSavers; ++saver) {
    savers.emplace_back([&, saver] {
      const std::int32_t value = saver == 0 ? 1 : -1234567 * saver;
      for (int i = 0; i < kSaves; ++i) {
        if (!saved(writeLogging(kPath, value))) ++failedSaves;
      }
      --running;
    });
  }
  std::size_t looks = 0;
  std::string torn;
  while (running > 0) {
    const auto lookStarted = std::chrono::steady_clock::now();
    const std::string content = readShared("inis/Hushlink.ini");
    ++looks;
    if (std::find(whole.begin(), whole.end(), content) == whole.end() && torn.empty()) {
      torn = content;
    }
    const auto look = std::chrono::steady_clock::now() - lookStarted;
    std::this_thread::sleep_for(
        std::max<std::chrono::steady_clock::duration>(look, std::chrono::milliseconds(1)));
  }
  for (std::thread& saver : savers) saver.join();
  EXPECT_EQ(torn, "") << "a look found a torn file";
  EXPECT_EQ(failedSaves, 0);
  EXPECT_GT(looks, 0u);
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
}

// A saver whose turn is long in coming waits on for as long as other saves
// keep landing, longer in all than a saver stuck elsewhere would be waited
// for.
TEST(SettingsSavers, WaitOnWhileOtherSavesKeepLanding) {
  using Clock = std::chrono::steady_clock;
  TempWorkingDirectory directory(TempWorkingDirectory::kBoth, memoryBackedTempFolder());
  writeLogging(kPath, 1);
  std::promise<bool> taken;
  std::future<bool> takenResult = taken.get_future();
  std::atomic<Clock::rep> waitingSince{0};
  std::thread holder([&taken, &waitingSince] {
    files::Target target;
    files::resolveFinalTarget(kPath, target.path);
    files::TurnHandle turn;
    NoPatience patience;
    bool held = files::takeTurn(target, patience, turn) == files::Result::Done;
    taken.set_value(held);
    // Saves of its own, half a second apart, until the other saver has
    // waited six seconds.
    for (int save = 0; held; ++save) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      writeFile(target.path, "logging = " + std::to_string(save) + "\n");
      const Clock::rep since = waitingSince;
      held = since == 0 || Clock::now().time_since_epoch().count() - since <
                               Clock::duration(std::chrono::seconds(6)).count();
    }
  });
  if (takenResult.get()) {
    waitingSince = Clock::now().time_since_epoch().count();
    EXPECT_EQ(writeLogging(kPath, 2), SaveOutcome::Replaced);
  } else {
    ADD_FAILURE() << "the turn could not be taken to hold it";
  }
  holder.join();
  EXPECT_EQ(readShared("inis/Hushlink.ini"), lines({"logging = 2"}));
}

}  // namespace
}  // namespace testing
}  // namespace hushlink

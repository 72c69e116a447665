// SPDX-License-Identifier: GPL-2.0-or-later
// Saving the settings file: a fresh file beside it takes its place whole,
// and nothing a plain rewrite kept is lost on the way: links stay links and
// their target gets the line, a folder that refuses new files still gets its
// save, a host killed mid-save leaves at most one leftover, and two savers at
// once leave one whole line.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "plugin/hushlink.h"
#include "support/settings.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

namespace fs = std::filesystem;

using Folders = std::vector<std::pair<std::string, std::vector<std::string>>>;

struct Situation {
  const char* name;
  friend void PrintTo(const Situation& c, std::ostream* os) { *os << c.name; }
  // Lays the situation out in the current (fresh) folder; returns the flag
  // to undo where it made something immutable.
  std::function<std::unique_ptr<ImmutableFile>()> arrange;
  const char* file;            // whose content is looked at afterwards
  std::string content;         // what it holds afterwards
  Folders folders;             // what each folder holds afterwards
  const char* link = nullptr;  // inis/Hushlink.ini must still be a link to this
};

// The plugin's state as a fresh load has it.
class SettingsSituationTest : public ::testing::TestWithParam<Situation> {
 protected:
  SettingsSituationTest() { useHeadlessSession(); }
  ~SettingsSituationTest() override { settings.logging = 0; }
  TempWorkingDirectory directory{TempWorkingDirectory::kEmpty};
};

TEST_P(SettingsSituationTest, ConfigureSavesWhereAPlainRewriteWouldAndLeavesNothingBehind) {
  const Situation& c = GetParam();
  const std::unique_ptr<ImmutableFile> locked = c.arrange();
  if (locked != nullptr && !locked->ok()) {
    GTEST_SKIP() << "this file system has no immutable flag, or we may not set it";
  }
  {
    CapturedOutput err(2);
    FWconfigure();
  }
  EXPECT_EQ(readFile(c.file), c.content);
  for (const auto& [folder, names] : c.folders) {
    EXPECT_EQ(folderEntries(folder), names) << "in " << folder;
  }
  if (c.link != nullptr) {
    ASSERT_TRUE(fs::is_symlink("inis/Hushlink.ini"));
    EXPECT_EQ(fs::read_symlink("inis/Hushlink.ini"), c.link);
  }
}

std::unique_ptr<ImmutableFile> settingsFile(const std::string& content) {
  fs::create_directory("inis");
  writeFile("inis/Hushlink.ini", content);
  return nullptr;
}

std::unique_ptr<ImmutableFile> linkedSettings(const std::vector<std::string>& chain,
                                              const char* content) {
  fs::create_directory("inis");
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    fs::create_directories(fs::path(chain[i + 1]).parent_path());
  }
  for (std::size_t i = 0; i + 1 < chain.size(); ++i) {
    const fs::path from = chain[i];
    const fs::path to = fs::relative(fs::absolute(chain[i + 1]), fs::absolute(from.parent_path()));
    fs::create_symlink(to, from);
  }
  if (content != nullptr) writeFile(chain.back(), content);
  return nullptr;
}

const Situation kSituations[] = {
    {"RegularFile",
     [] { return settingsFile("logging=5\n"); },
     "inis/Hushlink.ini",
     "logging = 5\n",
     {{"inis", {"Hushlink.ini"}}}},
    {"Link",
     [] {
       return linkedSettings({"inis/Hushlink.ini", "real/Hushlink.ini"}, "logging=5\n");
     },
     "real/Hushlink.ini",
     "logging = 5\n",
     {{"inis", {"Hushlink.ini"}}, {"real", {"Hushlink.ini"}}},
     "../real/Hushlink.ini"},
    {"ChainOfTwoLinks",
     [] {
       return linkedSettings({"inis/Hushlink.ini", "middle/Hushlink.ini", "real/Hushlink.ini"},
                             "logging=-7\n");
     },
     "real/Hushlink.ini",
     "logging = -7\n",
     {{"inis", {"Hushlink.ini"}}, {"middle", {"Hushlink.ini"}}, {"real", {"Hushlink.ini"}}},
     "../middle/Hushlink.ini"},
    {"LinkToAFileNotThereYet",
     [] {
       return linkedSettings({"inis/Hushlink.ini", "real/Hushlink.ini"}, nullptr);
     },
     "real/Hushlink.ini",
     "logging = 0\n",
     {{"inis", {"Hushlink.ini"}}, {"real", {"Hushlink.ini"}}},
     "../real/Hushlink.ini"},
    {"LinkIntoAnotherFolderUnderAnotherName",
     [] {
       fs::create_directory("inis");
       fs::create_directory("dotfiles");
       writeFile("dotfiles/hushlink.conf", "logging = 12\n");
       fs::create_symlink(fs::absolute("dotfiles/hushlink.conf"), "inis/Hushlink.ini");
       return std::unique_ptr<ImmutableFile>();
     },
     "dotfiles/hushlink.conf",
     "logging = 12\n",
     {{"inis", {"Hushlink.ini"}}, {"dotfiles", {"hushlink.conf"}}}},
    {"FileWithASecondName",
     [] {
       settingsFile("logging=8\n");
       fs::create_directory("backup");
       fs::create_hard_link("inis/Hushlink.ini", "backup/Hushlink.ini");
       return std::unique_ptr<ImmutableFile>();
     },
     "backup/Hushlink.ini",
     "logging = 8\n",
     {{"inis", {"Hushlink.ini"}}, {"backup", {"Hushlink.ini"}}}},
    {"ReadOnlyFile",
     [] {
       settingsFile("logging=2 # mine, hands off\n");
       return std::make_unique<ImmutableFile>("inis/Hushlink.ini");
     },
     "inis/Hushlink.ini",
     "logging=2 # mine, hands off\n",
     {{"inis", {"Hushlink.ini"}}}},
    {"FolderThatRefusesNewFiles",
     [] {
       settingsFile("logging=6\n");
       return std::make_unique<ImmutableFile>("inis");
     },
     "inis/Hushlink.ini",
     "logging = 6\n",
     {{"inis", {"Hushlink.ini"}}}},
    {"PathIsAFolder",
     [] {
       fs::create_directories("inis/Hushlink.ini");
       return std::unique_ptr<ImmutableFile>();
     },
     "inis/Hushlink.ini/x",
     "<missing>",
     {{"inis", {"Hushlink.ini"}}, {"inis/Hushlink.ini", {}}}},
    {"NoSettingsFolder",
     [] {
       fs::create_directory("logs");
       return std::unique_ptr<ImmutableFile>();
     },
     "inis/Hushlink.ini",
     "<missing>",
     {{".", {"logs"}}}},
    {"Utf8ByteOrderMark",
     [] { return settingsFile("\xEF\xBB\xBFlogging = 1\r\n"); },
     "inis/Hushlink.ini",
     "logging = 1\n",
     {{"inis", {"Hushlink.ini"}}}},
    {"Utf16WithItsMark",
     [] {
       return settingsFile(
           std::string("\xFF\xFEl\0o\0g\0g\0i\0n\0g\0=\0"
                       "3\0\r\0\n\0",
                       24));
     },
     "inis/Hushlink.ini",
     "logging = 3\n",
     {{"inis", {"Hushlink.ini"}}}},
};

INSTANTIATE_TEST_SUITE_P(Files, SettingsSituationTest, ::testing::ValuesIn(kSituations),
                         [](const auto& info) { return std::string(info.param.name); });

// The replaced file keeps its permission bits and its owner.
TEST(SettingsReplacement, KeepsPermissionsAndOwner) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  writeFile("inis/Hushlink.ini", "logging=4\n");
  ::chmod("inis/Hushlink.ini", 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown("inis/Hushlink.ini", 1234, 5678), 0);
  }
  settings.logging = 0;
  loadSettings();
  saveSettings();
  struct stat info;
  ASSERT_EQ(::stat("inis/Hushlink.ini", &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(info.st_uid, 1234u);
    EXPECT_EQ(info.st_gid, 5678u);
  }
  EXPECT_EQ(readFile("inis/Hushlink.ini"), "logging = 4\n");
  settings.logging = 0;
}

// An access list granting a second user the file: version 2, then one
// (tag, permissions, id) entry each for the owner, user 1234, the owning
// group, the mask and the others.
std::string accessListForASecondUser() {
  std::string list("\x02\0\0\0", 4);
  const auto entry = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
    for (const std::uint32_t field : {tag | std::uint32_t{permissions} << 16u, id}) {
      for (int shift = 0; shift < 32; shift += 8) list.push_back(static_cast<char>(field >> shift));
    }
  };
  constexpr std::uint32_t kNoId = 0xFFFFFFFF;
  entry(0x01, 6, kNoId);
  entry(0x02, 6, 1234);
  entry(0x04, 4, kNoId);
  entry(0x10, 6, kNoId);
  entry(0x20, 0, kNoId);
  return list;
}

std::string attribute(const char* path, const char* name) {
  std::string value(256, '\0');
  const ssize_t size = ::getxattr(path, name, value.data(), value.size());
  return size < 0 ? "<none>" : value.substr(0, static_cast<std::size_t>(size));
}

// What the file carries beyond its mode and owner (an access list, a
// user's own attribute) is on the file after the save too.
TEST(SettingsReplacement, KeepsTheAccessListAndExtendedAttributes) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  writeFile("inis/Hushlink.ini", "logging=4\n");
  const std::string list = accessListForASecondUser();
  const char* const path = "inis/Hushlink.ini";
  if (::setxattr(path, "system.posix_acl_access", list.data(), list.size(), 0) != 0 ||
      ::setxattr(path, "user.origin", "dotfiles", 8, 0) != 0) {
    GTEST_SKIP() << "this file system keeps no access lists or user attributes";
  }
  const std::string listBefore = attribute(path, "system.posix_acl_access");
  settings.logging = 0;
  loadSettings();
  saveSettings();
  EXPECT_EQ(readFile(path), "logging = 4\n");
  EXPECT_EQ(attribute(path, "system.posix_acl_access"), listBefore);
  EXPECT_EQ(attribute(path, "user.origin"), "dotfiles");
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
  settings.logging = 0;
}

// Someone else's file that we may write through its group: a plain rewrite
// keeps its owner, and so does the save, made in place for it.
TEST(SettingsReplacement, AFileWeCannotGiveBackToItsOwnerKeepsItsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play two users";
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  constexpr uid_t kOwner = 1234;
  constexpr gid_t kSharedGroup = 4321;
  constexpr uid_t kSaver = 4567;
  ::chmod(directory.path().c_str(), 0777);
  ::chmod("inis", 0777);
  writeFile("inis/Hushlink.ini", "logging=9\n");
  ASSERT_EQ(::chown("inis/Hushlink.ini", kOwner, kSharedGroup), 0);
  ::chmod("inis/Hushlink.ini", 0664);
  const pid_t saver = ::fork();
  if (saver == 0) {
    const gid_t groups[] = {kSharedGroup};
    if (::setgroups(1, groups) != 0 || ::setgid(kSharedGroup) != 0 || ::setuid(kSaver) != 0) {
      ::_exit(2);
    }
    settings.logging = 0;
    loadSettings();
    saveSettings();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(saver, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct stat info;
  ASSERT_EQ(::stat("inis/Hushlink.ini", &info), 0);
  EXPECT_EQ(info.st_uid, kOwner);
  EXPECT_EQ(info.st_gid, kSharedGroup);
  EXPECT_EQ(readFile("inis/Hushlink.ini"), "logging = 9\n");
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
}

// A host killed again and again in the middle of saving: the file always
// holds its whole line, at most one leftover sits beside it, and the next
// save takes that leftover over.
TEST(SettingsReplacement, AHostKilledMidSaveLeavesAtMostOneLeftover) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  writeFile("inis/Hushlink.ini", "logging = 3\n");
  std::size_t mostLeftOver = 0;
  for (int kill = 0; kill < 150; ++kill) {
    const pid_t saver = ::fork();
    if (saver == 0) {
      settings.logging = 3;
      for (;;) saveSettings();
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 + (kill * 137) % 1800));
    ::kill(saver, SIGKILL);
    ::waitpid(saver, nullptr, 0);
    ASSERT_EQ(readFile("inis/Hushlink.ini"), "logging = 3\n") << "after kill " << kill;
    mostLeftOver = std::max(mostLeftOver, folderEntries("inis").size() - 1);
  }
  EXPECT_LE(mostLeftOver, 1u);
  settings.logging = 3;
  saveSettings();
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
  settings.logging = 0;
}

// Two processes saving one file at the same moment, lines of different
// lengths: whenever it is looked at, the file holds one whole line.
TEST(SettingsReplacement, TwoSaversAtOnceLeaveOneWholeLine) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> savers;
  for (const std::int32_t value : {1, -1234567890}) {
    const pid_t saver = ::fork();
    if (saver == 0) {
      ::close(start[1]);
      char go;
      if (::read(start[0], &go, 1) < 0) ::_exit(1);  // the parent's close says go
      settings.logging = value;
      for (int i = 0; i < 300; ++i) saveSettings();
      ::_exit(0);
    }
    savers.push_back(saver);
  }
  ::close(start[0]);
  ::close(start[1]);
  for (bool running = true; running;) {
    const std::string content = readFile("inis/Hushlink.ini");
    ASSERT_TRUE(content == "logging = 1\n" || content == "logging = -1234567890\n")
        << "torn: " << content;
    running = false;
    for (const pid_t saver : savers) running |= ::waitpid(saver, nullptr, WNOHANG) == 0;
  }
  for (const pid_t saver : savers) ::waitpid(saver, nullptr, 0);
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
}

}  // namespace
}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
#include <filesystem>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

const std::string kStartLines = lines({"Hushlink plugin version 0,6", "Initializing Hushlink"});

TEST_F(PluginTest, ShutdownWithoutInitAndTwiceInARowIsHarmless) {
  plugin.FWshutdown();
  plugin.FWshutdown();
  initWithLogging(1);
  plugin.FWshutdown();
  plugin.FWshutdown();
  EXPECT_EQ(plugin.FWread32(0x10), 0u);
}

TEST_F(PluginTest, InitShutdownInitGivesAZeroedStoreAndATruncatedLog) {
  initWithLogging(1);
  plugin.FWwrite32(0x1F801234, 0xDEADBEEF);
  plugin.FWopen(nullptr);
  plugin.FWshutdown();
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(plugin.FWread32(0x1F801234), 0u);
  EXPECT_EQ(directory.log(), kStartLines + lines({"FW read mem 0x1f801234: 0x0"}));
}

// A second FWinit without FWshutdown starts afresh and leaks neither the
// store's contents nor the log file.
TEST_F(PluginTest, InitTwiceStartsAfreshWithoutLeakingTheLogFile) {
  initWithLogging(1);
  const std::size_t files = openFileCount();
  plugin.FWwrite32(0x40, 0x1234);
  ASSERT_EQ(plugin.FWinit(), 0);
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(openFileCount(), files);
  EXPECT_EQ(plugin.FWread32(0x40), 0u);
  EXPECT_EQ(directory.log(), kStartLines + lines({"FW read mem 0x40: 0x0"}));
  plugin.FWshutdown();
  EXPECT_EQ(openFileCount(), files - 1);
}

// Module state lives as long as the module is loaded: unloading forgets the
// setting read from the file, so a reload starts with logging off again.
TEST(ModuleLifetime, ReloadingStartsFromTheModulesInitialState) {
  ShownMessages messages;
  TempWorkingDirectory directory(TempWorkingDirectory::kLogs);
  {
    std::filesystem::create_directory(directory.path() / "inis");
    directory.writeSettings("logging = 1\n");
    LoadedModule plugin;
    ASSERT_EQ(plugin.FWinit(), 0);
    plugin.FWshutdown();
    std::filesystem::remove_all(directory.path() / "inis");
  }
  ASSERT_FALSE(moduleIsLoaded());
  LoadedModule plugin;
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWclose();
  EXPECT_EQ(directory.log(), "") << "logging must start off in a freshly loaded module";
}

}  // namespace
}  // namespace hushlink::testing

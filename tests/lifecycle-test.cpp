// SPDX-License-Identifier: GPL-2.0-or-later
#include <dlfcn.h>

#include <filesystem>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

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
  EXPECT_EQ(directory.log(),
            "Hushlink plugin version 0,6\nInitializing Hushlink\nFW read mem 0x1f801234: 0x0\n");
}

// A second FWinit without FWshutdown starts afresh and leaks neither the
// store's contents nor the log file's descriptor.
TEST_F(PluginTest, InitTwiceStartsAfreshWithoutLeakingTheLogFile) {
  initWithLogging(1);
  const std::size_t descriptors = openDescriptors();
  plugin.FWwrite32(0x40, 0x1234);
  ASSERT_EQ(plugin.FWinit(), 0);
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(plugin.FWread32(0x40), 0u);
  EXPECT_EQ(directory.log(),
            "Hushlink plugin version 0,6\nInitializing Hushlink\nFW read mem 0x40: 0x0\n");
  plugin.FWshutdown();
  EXPECT_EQ(openDescriptors(), descriptors - 1);
}

// Module state lives as long as the module is loaded: unloading forgets the
// setting read from the file, so a reload starts with logging off again.
TEST(ModuleLifetime, ReloadingStartsFromTheModulesInitialState) {
  useHeadlessSession();
  TempWorkingDirectory directory(TempWorkingDirectory::kLogs);
  {
    std::filesystem::create_directory(directory.path() / "inis");
    directory.writeSettings("logging = 1\n");
    LoadedModule plugin;
    ASSERT_EQ(plugin.FWinit(), 0);
    plugin.FWshutdown();
    std::filesystem::remove_all(directory.path() / "inis");
  }
  ASSERT_EQ(::dlopen(HUSHLINK_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr) << "module not unloaded";
  LoadedModule plugin;
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWclose();
  EXPECT_EQ(directory.log(), "") << "logging must start off in a freshly loaded module";
}

}  // namespace
}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
// The built module with its store's memory taken away by a preloaded
// allocator, as it would be on a starved host.
#include <dlfcn.h>

#include "plugin/register_store.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

using RefuseAllocations = void (*)(std::size_t size, int count);

constexpr std::size_t kStoreSize = 65536;

class PreloadedAllocatorTest : public PluginTest {
 protected:
  void SetUp() override {
    refuse_ =
        reinterpret_cast<RefuseAllocations>(::dlsym(RTLD_DEFAULT, "hushlinkRefuseAllocations"));
    ASSERT_NE(refuse_, nullptr) << "run with LD_PRELOAD set to the refusing allocator";
  }
  RefuseAllocations refuse_ = nullptr;
};

TEST_F(PreloadedAllocatorTest, InitFailsAlertsAndEveryLaterCallWorks) {
  directory.writeSettings("logging = 1\n");
  refuse_(kStoreSize, 1);
  {
    CapturedOutput err(2);
    CapturedOutput out(1);
    EXPECT_EQ(plugin.FWinit(), -1);
    EXPECT_EQ(err.text(), "Message: Error allocating Memory\n");
    plugin.FWwrite32(0x10, 0xAB);
    EXPECT_EQ(plugin.FWread32(0x10), 0u);
    EXPECT_EQ(plugin.FWread32(kFixedReadAddress), kFixedReadValue);
    plugin.FWshutdown();
    plugin.FWshutdown();
  }
  CapturedOutput err(2);
  ASSERT_EQ(plugin.FWinit(), 0);
  plugin.FWwrite32(0x10, 0xAB);
  EXPECT_EQ(plugin.FWread32(0x10), 0xABu);
  plugin.FWabout();
  plugin.FWconfigure();
  EXPECT_EQ(err.text(),
            "Message: Hushlink：纯粹的空插件。\nMessage: This space intentionally left blank.\n");
  EXPECT_EQ(directory.log(),
            "Hushlink plugin version 0,6\nInitializing Hushlink\n"
            "FW write mem 0x10: 0xab\nFW read mem 0x10: 0xab\n");
}

TEST_F(PreloadedAllocatorTest, NoAlertWithoutALogFile) {
  std::filesystem::remove(directory.path() / "logs");
  refuse_(kStoreSize, 1);
  CapturedOutput err(2);
  EXPECT_EQ(plugin.FWinit(), -1);
  EXPECT_EQ(plugin.FWinit(), 0) << "a retry that gets its memory succeeds";
  EXPECT_EQ(err.text(), "");
}

}  // namespace
}  // namespace hushlink::testing

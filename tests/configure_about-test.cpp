// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

constexpr const char* kNotice = "Message: This space intentionally left blank.\n";

TEST_F(PluginTest, ConfigureBeforeInitShowsTheNoticeAndRewritesTheFileSilently) {
  directory.writeSettings("logging=4 and some notes\nsecond line\n");
  CapturedOutput out(1);
  CapturedOutput err(2);
  plugin.FWconfigure();
  EXPECT_EQ(err.text(), kNotice);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(directory.settingsFile(), "logging = 4\n");
  EXPECT_EQ(directory.log(), "<missing>");
}

TEST_F(PluginTest, ConfigureCreatesAMissingFile) {
  CapturedOutput err(2);
  plugin.FWconfigure();
  EXPECT_EQ(err.text(), kNotice);
  EXPECT_EQ(directory.settingsFile(), "logging = 0\n");
}

// A value edited into the file while the plugin runs takes effect at the next
// configure: the log, silent until then, starts showing accesses.
TEST_F(PluginTest, HandEditedValueTakesEffectThroughConfigure) {
  initWithLogging(0);
  plugin.FWread32(0x100);
  directory.writeSettings("logging   =   3   # edited by hand\n");
  CapturedOutput err(2);
  CapturedOutput out(1);
  plugin.FWconfigure();
  plugin.FWread32(0x1F808410);
  EXPECT_EQ(out.text(), "FW read mem 0x1f808410: 0x8\n");
  EXPECT_EQ(err.text(), kNotice);
  EXPECT_EQ(directory.log(), "FW read mem 0x1f808410: 0x8\n");
  EXPECT_EQ(directory.settingsFile(), "logging = 3\n");
}

TEST_F(PluginTest, AboutShowsTheDescriptionInUtf8AndLogsNothing) {
  initWithLogging(1);
  CapturedOutput err(2);
  plugin.FWabout();
  EXPECT_EQ(err.text(), "Message: Hushlink：纯粹的空插件。\n");
  EXPECT_EQ(directory.log(), "Hushlink plugin version 0,6\nInitializing Hushlink\n");
}

}  // namespace
}  // namespace hushlink::testing

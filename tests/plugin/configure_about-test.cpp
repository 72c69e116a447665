// SPDX-License-Identifier: GPL-2.0-or-later
// Configure and About: one box each, in the order the host's menu expects:
// Configure reads the settings, shows its notice, then writes them back.
#include "tests/expected.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

constexpr const char* kNotice = "This space intentionally left blank.";
constexpr const char* kAbout = "Hushlink：纯粹的空插件。";

TEST_F(PluginTest, ConfigureBeforeInitShowsTheNoticeAndRewritesTheFileSilently) {
  directory.writeSettings("logging=4 and some notes\nsecond line\n");
  CapturedOutput out(1);
  plugin.FWconfigure();
  EXPECT_EQ(messages.shown().size(), 1u);
  EXPECT_EQ(messages.texts(), std::vector<std::string>{kNotice});
  EXPECT_EQ(messages.shown().at(0).caption, expected::kCaption);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(directory.settingsFile(), lines({"logging = 4"}));
  EXPECT_EQ(directory.log(), "<missing>");
}

TEST_F(PluginTest, ConfigureCreatesAMissingFile) {
  plugin.FWconfigure();
  EXPECT_EQ(messages.texts(), std::vector<std::string>{kNotice});
  EXPECT_EQ(directory.settingsFile(), lines({"logging = 0"}));
}

// A value edited into the file while the plugin runs takes effect at the next
// configure: the log, silent until then, starts showing accesses.
TEST_F(PluginTest, HandEditedValueTakesEffectThroughConfigure) {
  initWithLogging(0);
  plugin.FWread32(0x100);
  directory.writeSettings("logging   =   3   # edited by hand\n");
  CapturedOutput out(1);
  plugin.FWconfigure();
  plugin.FWread32(expected::kFixedReadAddress);
  EXPECT_EQ(out.text(), lines({"FW read mem 0x1f808410: 0x8"}));
  EXPECT_EQ(messages.texts(), std::vector<std::string>{kNotice});
  EXPECT_EQ(directory.log(), lines({"FW read mem 0x1f808410: 0x8"}));
  EXPECT_EQ(directory.settingsFile(), lines({"logging = 3"}));
}

TEST_F(PluginTest, AboutShowsTheDescriptionAndLogsNothing) {
  initWithLogging(1);
  plugin.FWabout();
  EXPECT_EQ(messages.texts(), std::vector<std::string>{kAbout});
  EXPECT_EQ(messages.shown().at(0).caption, expected::kCaption);
  EXPECT_EQ(directory.log(), lines({"Hushlink plugin version 0,6", "Initializing Hushlink"}));
}

// A whole session shows no box; only the two menu entries do, one each.
TEST_F(PluginTest, OnlyConfigureAndAboutShowBoxesOneEach) {
  initWithLogging(1);
  plugin.FWopen(nullptr);
  plugin.FWwrite32(0, 1);
  plugin.FWread32(0);
  plugin.FWclose();
  EXPECT_EQ(messages.shown().size(), 0u);
  plugin.FWabout();
  plugin.FWconfigure();
  plugin.FWabout();
  plugin.FWshutdown();
  EXPECT_EQ(messages.texts(), (std::vector<std::string>{kAbout, kNotice, kAbout}));
}

}  // namespace
}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
// The limits of the plugin's message buffers: alerts and messages longer than
// their buffers are cut, log lines of any length arrive whole. (The store's
// memory refused is a row of the fault-injection test.)
#include <optional>
#include <string>

#include "plugin/hushlink.h"
#include "plugin/log/log_channel.h"
#include "plugin/message_box/message_box.h"
#include "plugin/settings/settings.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

// The plugin is linked into this program: put its module-wide state back as
// a fresh load would have it, the log closed before its folder goes.
class MessageLimitsTest : public ::testing::Test {
 protected:
  ~MessageLimitsTest() override {
    FWshutdown();
    settings.logging = 0;
    logChannel.setFlags(false);
  }
  const TempWorkingDirectory& enter(TempWorkingDirectory::Layout layout) {
    return directory_.emplace(layout);
  }
  ShownMessages messages;

 private:
  std::optional<TempWorkingDirectory> directory_;
};

TEST_F(MessageLimitsTest, AlertIsCutAt255BytesAndShowsPercentSignsLiterally) {
  enter(TempWorkingDirectory::kBoth);
  ASSERT_EQ(FWinit(), 0);
  logChannel.alert("%s", std::string(1000, 'a').c_str());
  logChannel.alert("%s", "100%s %d %n done");
  EXPECT_EQ(messages.texts(),
            (std::vector<std::string>{std::string(255, 'a'), "100%s %d %n done"}));
}

TEST_F(MessageLimitsTest, MessageIsCutAt511Bytes) {
  showMessage("%s-%s", std::string(300, 'x').c_str(), std::string(300, 'y').c_str());
  EXPECT_EQ(messages.texts(),
            std::vector<std::string>{std::string(300, 'x') + "-" + std::string(210, 'y')});
}

TEST_F(MessageLimitsTest, LongLogLinesArriveWhole) {
  const TempWorkingDirectory& directory = enter(TempWorkingDirectory::kBoth);
  directory.writeSettings("logging = 1\n");
  ASSERT_EQ(FWinit(), 0);
  const std::string text(5000, 'z');
  CapturedOutput out(1);
  logChannel.writeLine("%s", text.c_str());
  EXPECT_EQ(out.text(), lines({text}));
  EXPECT_EQ(directory.log(), lines({"Hushlink plugin version 0,6", "Initializing Hushlink", text}));
}

}  // namespace
}  // namespace hushlink::testing

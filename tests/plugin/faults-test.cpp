// SPDX-License-Identifier: GPL-2.0-or-later
// Failures the host cannot cause through the interface: the store's memory
// refused, and texts longer than the message buffers.
#include <cstdlib>
#include <optional>
#include <string>

#include "plugin/hushlink.h"
#include "plugin/log/log_channel.h"
#include "plugin/message_box/message_box.h"
#include "plugin/register_store.h"
#include "plugin/settings/settings.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

void* refuseMemory(std::size_t) { return nullptr; }

// The plugin is linked into this program: put its module-wide state back as
// a fresh load would have it, the log closed before its folder goes.
class LinkedPluginTest : public ::testing::Test {
 protected:
  ~LinkedPluginTest() override {
    FWshutdown();
    setStoreAllocator(nullptr);
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

struct AllocationCase {
  const char* name;
  friend void PrintTo(const AllocationCase& c, std::ostream* os) { *os << c.name; }
  TempWorkingDirectory::Layout layout;
  int logging;
  std::vector<std::string> shown;
};

class AllocationFailureTest : public LinkedPluginTest,
                              public ::testing::WithParamInterface<AllocationCase> {};

// The alert is shown while the log file is open, whatever the setting, and
// never when there is no log file.
TEST_P(AllocationFailureTest, InitFailsAndAlertsOnlyWhileTheLogIsOpen) {
  const AllocationCase& c = GetParam();
  const TempWorkingDirectory& directory = enter(c.layout);
  if (c.layout & TempWorkingDirectory::kInis) {
    directory.writeSettings("logging = " + std::to_string(c.logging) + "\n");
  }
  setStoreAllocator(refuseMemory);
  EXPECT_EQ(FWinit(), -1);
  EXPECT_EQ(messages.texts(), c.shown);
  EXPECT_EQ(pluginState.registerStore, nullptr);
}

const AllocationCase kAllocationCases[] = {
    {"LoggingOn", TempWorkingDirectory::kBoth, 1, {"Error allocating Memory"}},
    {"LoggingOff", TempWorkingDirectory::kBoth, 0, {"Error allocating Memory"}},
    {"NoLogsDirectory", TempWorkingDirectory::kInis, 1, {}},
};

INSTANTIATE_TEST_SUITE_P(Layouts, AllocationFailureTest, ::testing::ValuesIn(kAllocationCases),
                         [](const auto& info) { return std::string(info.param.name); });

// After a failed FWinit the log stays open with no store behind it: accesses
// are logged, read 0 and store nothing; a retry that gets its memory works
// on a fresh log.
TEST_F(LinkedPluginTest, AfterAFailedInitAccessesAreLoggedAndARetrySucceeds) {
  const TempWorkingDirectory& directory = enter(TempWorkingDirectory::kBoth);
  directory.writeSettings("logging = 1\n");
  setStoreAllocator(refuseMemory);
  {
    CapturedOutput out(1);
    ASSERT_EQ(FWinit(), -1);
    FWwrite32(0x8, 0x77);
    EXPECT_EQ(FWread32(0x8), 0u);
    EXPECT_EQ(FWread32(kFixedReadAddress), kFixedReadValue);
  }
  EXPECT_EQ(directory.log(),
            lines({"Hushlink plugin version 0,6", "Initializing Hushlink", "FW write mem 0x8: 0x77",
                   "FW read mem 0x8: 0x0", "FW read mem 0x1f808410: 0x8"}));
  setStoreAllocator(nullptr);
  CapturedOutput out(1);
  ASSERT_EQ(FWinit(), 0);
  FWwrite32(0x8, 0x77);
  EXPECT_EQ(FWread32(0x8), 0x77u);
  EXPECT_EQ(directory.log(), lines({"Hushlink plugin version 0,6", "Initializing Hushlink",
                                    "FW write mem 0x8: 0x77", "FW read mem 0x8: 0x77"}));
}

TEST_F(LinkedPluginTest, AlertIsCutAt255BytesAndShowsPercentSignsLiterally) {
  enter(TempWorkingDirectory::kBoth);
  ASSERT_EQ(FWinit(), 0);
  logChannel.alert("%s", std::string(1000, 'a').c_str());
  logChannel.alert("%s", "100%s %d %n done");
  EXPECT_EQ(messages.texts(),
            (std::vector<std::string>{std::string(255, 'a'), "100%s %d %n done"}));
}

TEST_F(LinkedPluginTest, MessageIsCutAt511Bytes) {
  showMessage("%s-%s", std::string(300, 'x').c_str(), std::string(300, 'y').c_str());
  EXPECT_EQ(messages.texts(),
            std::vector<std::string>{std::string(300, 'x') + "-" + std::string(210, 'y')});
}

TEST_F(LinkedPluginTest, LongLogLinesArriveWhole) {
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

// SPDX-License-Identifier: GPL-2.0-or-later
#include <cstdint>
#include <cstring>

#include "tests/expected.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

constexpr std::uint32_t kFixed = expected::kFixedReadAddress;

class RegisterStoreTest : public PluginTest {
 protected:
  void SetUp() override { initWithLogging(0); }
};

TEST_F(RegisterStoreTest, FreshStoreReadsZeroEverywhereButTheFixedRegister) {
  for (const std::uint32_t high : {0x00000000u, 0x1F800000u, 0xFFFF0000u}) {
    for (std::uint32_t offset = 0; offset <= 0xFFFF; ++offset) {
      const std::uint32_t address = high | offset;
      ASSERT_EQ(plugin.FWread32(address), address == kFixed ? expected::kFixedReadValue : 0u)
          << std::hex << address;
    }
  }
}

TEST_F(RegisterStoreTest, FixedRegisterIsPinnedOnTheFullAddressOnly) {
  plugin.FWwrite32(kFixed, 0xCAFEF00D);
  EXPECT_EQ(plugin.FWread32(kFixed), expected::kFixedReadValue);
  // The write is stored like any other: every alias of offset 0x8410 sees it.
  for (const std::uint32_t alias : {0x00008410u, 0x1F818410u, 0x0F808410u, 0xFFFF8410u}) {
    EXPECT_EQ(plugin.FWread32(alias), 0xCAFEF00Du) << std::hex << alias;
  }
}

TEST_F(RegisterStoreTest, AddressesThatShareTheLow16BitsShareTheWord) {
  struct Case {
    std::uint32_t written;
    std::uint32_t readBack;
  };
  const Case cases[] = {{0x1F801000, 0x00001000}, {0x00001004, 0xFFFF1004},
                        {0x12340000, 0x00000000}, {0xFFFFFFF0, 0x0000FFF0},
                        {0x1F808414, 0x00008414}, {0x1F80840C, 0xABCD840C}};
  std::uint32_t value = 0x01020304;
  for (const Case& c : cases) {
    plugin.FWwrite32(c.written, ++value);
    EXPECT_EQ(plugin.FWread32(c.readBack), value) << std::hex << c.written;
  }
}

TEST_F(RegisterStoreTest, NeighbouringWordsOverlapInTheProcessorsByteOrder) {
  plugin.FWwrite32(0x1F800000, 0x11223344);
  EXPECT_EQ(plugin.FWread32(0x1F800001), 0x00112233u);
  EXPECT_EQ(plugin.FWread32(0x1F800002), 0x00001122u);
  EXPECT_EQ(plugin.FWread32(0x1F800003), 0x00000011u);
  plugin.FWwrite32(0x1F800002, 0xAABBCCDD);  // replaces the upper half only
  EXPECT_EQ(plugin.FWread32(0x1F800000), 0xCCDD3344u);
  EXPECT_EQ(plugin.FWread32(0x1F800004), 0x0000AABBu);
}

// The last three offsets start words that reach past the store: the bytes
// inside it are used, the rest read as zero and are dropped on write.
TEST_F(RegisterStoreTest, WordsAtTheEndOfTheStoreKeepOnlyTheirBytesInside) {
  struct Case {
    std::uint32_t offset;
    std::uint32_t readBack;  // what the same offset reads after the write
    std::uint32_t lastWord;  // what offset 0xFFFC reads after it
  };
  const Case cases[] = {{0xFFFC, 0x44332211, 0x44332211},
                        {0xFFFD, 0x00332211, 0x33221100},
                        {0xFFFE, 0x00002211, 0x22110000},
                        {0xFFFF, 0x00000011, 0x11000000}};
  for (const Case& c : cases) {
    plugin.FWwrite32(0xFFFC, 0);
    plugin.FWwrite32(c.offset, 0x44332211);
    EXPECT_EQ(plugin.FWread32(c.offset), c.readBack) << std::hex << c.offset;
    EXPECT_EQ(plugin.FWread32(0xFFFC), c.lastWord) << std::hex << c.offset;
    EXPECT_EQ(plugin.FWread32(0x0000), 0u) << "a word past the end must not wrap around";
  }
}

TEST_F(RegisterStoreTest, IdentificationIsConstant) {
  EXPECT_EQ(plugin.PS2EgetLibType(), expected::kLibType);
  EXPECT_STREQ(plugin.PS2EgetLibName(), expected::kLibName);
  for (const std::uint32_t argument : {0u, 1u, expected::kLibType, 0xFFFFFFFFu}) {
    EXPECT_EQ(plugin.PS2EgetLibVersion2(argument), expected::kLibVersion) << argument;
  }
  EXPECT_EQ(plugin.FWtest(), 0);
  int hostData = 0;
  EXPECT_EQ(plugin.FWopen(&hostData), 0);
  EXPECT_EQ(plugin.FWopen(nullptr), 0);
}

int interruptsRaised = 0;
void HUSHLINK_CALL raiseInterrupt(void) { ++interruptsRaised; }

TEST_F(RegisterStoreTest, TheInterruptCallbackIsKeptButNeverCalled) {
  plugin.FWirqCallback(raiseInterrupt);
  plugin.FWopen(nullptr);
  for (std::uint32_t address = 0; address < 0x100; address += 4) {
    plugin.FWwrite32(address, 0xFFFFFFFF);
    plugin.FWread32(address);
  }
  plugin.FWclose();
  plugin.FWshutdown();
  EXPECT_EQ(interruptsRaised, 0);
}

// No store exists before FWinit and after FWshutdown: reads give 0 (the fixed
// register still 8), writes go nowhere, nothing crashes.
TEST(RegisterStoreWithoutStore, ReadsZeroAndDropsWrites) {
  ShownMessages messages;
  TempWorkingDirectory directory;
  LoadedModule plugin;
  plugin.FWwrite32(0x1000, 0x12345678);
  EXPECT_EQ(plugin.FWread32(0x1000), 0u);
  EXPECT_EQ(plugin.FWread32(kFixed), expected::kFixedReadValue);
  ASSERT_EQ(plugin.FWinit(), 0);
  EXPECT_EQ(plugin.FWread32(0x1000), 0u) << "a write made without a store must not survive";
  plugin.FWwrite32(0x1000, 0x12345678);
  plugin.FWshutdown();
  plugin.FWwrite32(0xFFFF, 0xFFFFFFFF);
  EXPECT_EQ(plugin.FWread32(0x1000), 0u);
  EXPECT_EQ(plugin.FWread32(0xFFFF), 0u);
  EXPECT_EQ(plugin.FWread32(kFixed), expected::kFixedReadValue);
}

}  // namespace
}  // namespace hushlink::testing

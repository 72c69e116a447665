// SPDX-License-Identifier: GPL-2.0-or-later
// A million logged register accesses at random addresses against a shadow
// model of the store; afterwards the log must hold every line, whole and in
// order.
#include <array>
#include <cstdint>
#include <cstring>
#include <random>

#include "tests/expected.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

constexpr std::uint32_t kFixed = expected::kFixedReadAddress;

// The store as a plain byte array: words at any offset, the bytes past the
// end dropped, reads of the fixed address pinned to 8.
class ShadowStore {
 public:
  std::uint32_t read(std::uint32_t address) const {
    if (address == kFixed) return expected::kFixedReadValue;
    std::uint32_t value = 0;
    const std::uint32_t offset = address & 0xFFFF;
    std::memcpy(&value, bytes_.data() + offset, std::min<std::uint32_t>(4, 0x10000 - offset));
    return value;
  }
  void write(std::uint32_t address, std::uint32_t value) {
    const std::uint32_t offset = address & 0xFFFF;
    std::memcpy(bytes_.data() + offset, &value, std::min<std::uint32_t>(4, 0x10000 - offset));
  }

 private:
  std::array<unsigned char, 0x10000> bytes_{};
};

TEST_F(PluginTest, AMillionLoggedAccessesMatchTheModelAndTheLog) {
  constexpr int kAccesses = 1'000'000;
  std::mt19937 random(20261210);
  // Mostly a few busy registers, so that reads meet earlier writes, with
  // the fixed register, the store's last bytes and arbitrary addresses mixed in.
  const auto nextAddress = [&]() -> std::uint32_t {
    switch (random() % 8) {
      case 0:
        return kFixed;
      case 1:
        return 0xFFFC + random() % 4;
      case 2:
        return static_cast<std::uint32_t>(random());
      default:
        return (static_cast<std::uint32_t>(random()) & 0xFFFF0000) | (random() % 64);
    }
  };
  ShadowStore shadow;
  std::string expected = "Hushlink plugin version 0,6\nInitializing Hushlink\n";
  expected.reserve(40u * kAccesses);
  char line[64];
  {
    CapturedOutput out(1);
    initWithLogging(1);
    for (int i = 0; i < kAccesses; ++i) {
      const std::uint32_t address = nextAddress();
      if (random() % 2 == 0) {
        const std::uint32_t value = static_cast<std::uint32_t>(random());
        plugin.FWwrite32(address, value);
        shadow.write(address, value);
        std::snprintf(line, sizeof line, "FW write mem 0x%x: 0x%x\n", address, value);
      } else {
        const std::uint32_t value = plugin.FWread32(address);
        ASSERT_EQ(value, shadow.read(address)) << "access " << i << " at 0x" << std::hex << address;
        std::snprintf(line, sizeof line, "FW read mem 0x%x: 0x%x\n", address, value);
      }
      expected += line;
    }
    plugin.FWshutdown();
    EXPECT_TRUE(out.text() == expected) << "standard output differs from the expected lines";
  }
  const std::string log = directory.log();
  ASSERT_EQ(log.size(), expected.size());
  std::size_t lineNumber = 1;
  for (std::size_t start = 0; start < log.size(); ++lineNumber) {
    const std::size_t end = expected.find('\n', start) + 1;
    ASSERT_EQ(log.compare(start, end - start, expected, start, end - start), 0)
        << "line " << lineNumber << ": " << log.substr(start, end - start);
    start = end;
  }
}

}  // namespace
}  // namespace hushlink::testing

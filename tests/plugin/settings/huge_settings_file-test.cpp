// SPDX-License-Identifier: GPL-2.0-or-later
// Settings files of many megabytes with no line end: read as a stream, in
// the memory a settings line needs.
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

long peakMemoryKilobytes() {
  struct rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

struct HugeCase {
  const char* name;
  std::string start;
  char filler;
  const char* savedBack;
  friend void PrintTo(const HugeCase& c, std::ostream* os) { *os << c.name; }
};

class HugeSettingsTest : public PluginTest, public ::testing::WithParamInterface<HugeCase> {};

// Megabytes without a newline are read as a stream: the value follows the
// usual rules, and the plugin's memory does not grow with the file.
TEST_P(HugeSettingsTest, IsReadWithoutHoldingItInMemory) {
  const HugeCase& c = GetParam();
  constexpr std::size_t kSize = 48 << 20;
  {
    std::FILE* file = std::fopen((directory.path() / "inis/Hushlink.ini").c_str(), "w");
    std::fputs(c.start.c_str(), file);
    const std::string block(1 << 20, c.filler);
    for (std::size_t written = 0; written < kSize; written += block.size()) {
      std::fwrite(block.data(), 1, block.size(), file);
    }
    std::fclose(file);
  }
  const long before = peakMemoryKilobytes();
  plugin.FWconfigure();
  EXPECT_LT(peakMemoryKilobytes() - before, 16 << 10);
  EXPECT_EQ(directory.settingsFile(), c.savedBack);
  EXPECT_EQ(messages.texts().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, HugeSettingsTest,
    ::testing::Values(HugeCase{"EndlessNumber", "logging = ", '9', "logging = 2147483647\n"},
                      HugeCase{"EndlessNegative", "logging = -", '7', "logging = -2147483648\n"},
                      HugeCase{"EndlessWhiteSpace", "logging", ' ', "logging = 0\n"},
                      HugeCase{"EndlessJunkAfterTheValue", "logging = 12", 'q', "logging = 12\n"},
                      HugeCase{"EndlessBinary", "\x01\xff", '\0', "logging = 0\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
// A module the harness cannot load, because it was built for another
// bitness, machine or system, is named as such from its header. Built into
// both Linux builds' tests: each row says which harness answers it, and each
// build runs the rows of its own.
#include <cstdint>
#include <string>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

struct ForeignModuleCase {
  const char* name;
  int harnessBits;     // the harness that runs the row, 32 or 64; 0 for either
  std::string header;  // the start of the file
  const char* message;
  friend void PrintTo(const ForeignModuleCase& c, std::ostream* os) { *os << c.name; }
};

class ForeignModuleTest : public HarnessTest,
                          public ::testing::WithParamInterface<ForeignModuleCase> {};

// Never handed to the loader, whose own words ("wrong ELF class") do not say
// which build to use instead.
TEST_P(ForeignModuleTest, IsRefusedInPlainWords) {
  const ForeignModuleCase& c = GetParam();
  // The harness is built with this program, for the same bitness.
  constexpr int kHarnessBits = sizeof(void*) * 8;
  if (c.harnessBits != 0 && c.harnessBits != kHarnessBits) {
    GTEST_SKIP() << "Not on this platform: a row for the " << c.harnessBits
                 << "-bit hushlink-host, run by the " << c.harnessBits << "-bit build's tests";
  }
  std::string image = c.header;
  image.resize(4096, '\0');
  writeFile(directory.path() / "module.so", image);
  const CommandResult result = runHost({"info", "module.so"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err,
            std::string("hushlink-host: module.so: cannot load module: ") + c.message + "\n");
}

std::string elfHeader(char elfClass, std::uint16_t machine) {
  std::string header = std::string(
                           "\x7f"
                           "ELF",
                           4) +
                       elfClass + '\x01' + '\x01';
  header.resize(18, '\0');
  header += static_cast<char>(machine & 0xFF);
  header += static_cast<char>(machine >> 8);
  return header;
}

std::string peHeader(std::uint16_t machine, std::uint16_t magic) {
  std::string header(0x40 + 26, '\0');
  header[0] = 'M';
  header[1] = 'Z';
  header[0x3C] = 0x40;
  header.replace(0x40, 4, std::string("PE\0\0", 4));
  header[0x44] = static_cast<char>(machine & 0xFF);
  header[0x45] = static_cast<char>(machine >> 8);
  header[0x40 + 24] = static_cast<char>(magic & 0xFF);
  header[0x40 + 25] = static_cast<char>(magic >> 8);
  return header;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ForeignModuleTest,
    ::testing::Values(
        ForeignModuleCase{"ThirtyTwoBitElf", 64, elfHeader(1, 3),
                          "module.so is a 32-bit module; this hushlink-host is 64-bit: use the "
                          "64-bit module.so, or the 32-bit hushlink-host"},
        ForeignModuleCase{"SixtyFourBitElf", 32, elfHeader(2, 62),
                          "module.so is a 64-bit module; this hushlink-host is 32-bit: use the "
                          "32-bit module.so, or the 64-bit hushlink-host"},
        ForeignModuleCase{"ElfForAnotherMachine", 64, elfHeader(2, 183),
                          "module.so is a module for ARM64; this hushlink-host runs on x86-64"},
        ForeignModuleCase{"ThirtyTwoBitElfForAnotherMachine", 32, elfHeader(1, 40),
                          "module.so is a module for ARM; this hushlink-host runs on x86"},
        ForeignModuleCase{"WindowsDll", 0, peHeader(0x014C, 0x10B),
                          "module.so is a Windows module (PE); this hushlink-host loads Linux "
                          "modules"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hushlink::testing

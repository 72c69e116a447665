// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host check, end to end on the built module and on plugins with
// one deliberate fault each.
#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr const char* kCheckNames[] = {"identification",
                                       "exported-names",
                                       "fresh-store",
                                       "fixed-register",
                                       "aliasing",
                                       "overlapping-words",
                                       "log",
                                       "settings-created",
                                       "settings-configure",
                                       "reinit"};

std::string variant(const std::string& name) {
  return std::string(HUSHLINK_VARIANTS_DIRECTORY) + "/libhushlink_variant_" + name + ".so";
}

// The check's row for each check name, as printed.
std::map<std::string, std::string> rows(const std::string& output) {
  std::map<std::string, std::string> result;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < 8) continue;
    std::istringstream words(line.substr(8));
    std::string name;
    words >> name;
    result[name] = line;
  }
  return result;
}

class CheckTest : public HarnessTest {};

TEST_F(CheckTest, TheBuiltModulePassesEveryCheckAndLeavesTheUsersFilesAlone) {
  directory.writeSettings("logging = 1 # mine\n");
  writeFile(directory.path() / "logs/Hushlink.log", "my log\n");
  const CommandResult result = runHost({"check", HUSHLINK_MODULE});
  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  const auto printed = rows(result.out);
  for (const char* name : kCheckNames) {
    EXPECT_EQ(printed.count(name) ? printed.at(name) : "", "  PASS  " + std::string(name));
  }
  EXPECT_THAT(result.out, HasSubstr("\n10 checks: 10 passed, 0 failed\n"));
  EXPECT_EQ(directory.settingsFile(), "logging = 1 # mine\n");
  EXPECT_EQ(directory.log(), "my log\n");
}

struct VariantCase {
  const char* name;
  const char* variant;
  const char* failingCheck;  // null: every check passes
  friend void PrintTo(const VariantCase& c, std::ostream* os) { *os << c.name; }
};

class CheckVariantTest : public CheckTest, public ::testing::WithParamInterface<VariantCase> {};

// Each fault fails exactly the check that is about it, with a row that says
// what was expected and what came back.
TEST_P(CheckVariantTest, TheFaultFailsTheRightCheck) {
  const VariantCase& c = GetParam();
  const CommandResult result = runHost({"check", variant(c.variant)});
  EXPECT_EQ(result.exitCode, c.failingCheck ? 1 : 0) << result.out << result.err;
  const auto printed = rows(result.out);
  for (const char* name : kCheckNames) {
    const std::string row = printed.count(name) ? printed.at(name) : "(no row)";
    if (c.failingCheck != nullptr && std::string(name) == c.failingCheck) {
      EXPECT_THAT(row, ::testing::StartsWith("  FAIL  " + std::string(name)));
      EXPECT_THAT(row, ::testing::ContainsRegex("expected .+, got .+"));
    } else {
      EXPECT_EQ(row, "  PASS  " + std::string(name));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CheckVariantTest,
    ::testing::Values(VariantCase{"Correct", "correct", nullptr},
                      VariantCase{"FixedRegisterOnTheOffset", "fixed_on_offset", "fixed-register"},
                      VariantCase{"StoreKeptOnReinit", "store_kept", "reinit"},
                      VariantCase{"UpperCaseHex", "upper_case_hex", "log"},
                      VariantCase{"SettingFolded", "folded_setting", "settings-configure"}),
    [](const auto& info) { return std::string(info.param.name); });

struct ProcessFaultCase {
  const char* name;
  const char* variant;
  std::vector<std::string> options;
  const char* got;  // every session check's row ends "expected ..., got <this>"
  friend void PrintTo(const ProcessFaultCase& c, std::ostream* os) { *os << c.name; }
};

class CheckProcessFaultTest : public CheckTest,
                              public ::testing::WithParamInterface<ProcessFaultCase> {};

// A module whose checks all come out right but whose process then dies, exits
// with a failure or never finishes: every check that ran a session fails and
// says how its process ended; the two that need no FWinit pass.
TEST_P(CheckProcessFaultTest, TheChecksProcessMustEndCleanly) {
  const ProcessFaultCase& c = GetParam();
  std::vector<std::string> arguments = {"check"};
  arguments.insert(arguments.end(), c.options.begin(), c.options.end());
  arguments.push_back(variant(c.variant));
  const CommandResult result = runHost(arguments);
  EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
  const auto printed = rows(result.out);
  for (const char* name : kCheckNames) {
    const std::string row = printed.count(name) ? printed.at(name) : "(no row)";
    if (std::string(name) == "identification" || std::string(name) == "exported-names") {
      EXPECT_EQ(row, "  PASS  " + std::string(name));
    } else {
      EXPECT_THAT(row, ::testing::StartsWith("  FAIL  " + std::string(name)));
      EXPECT_THAT(row, ::testing::EndsWith(std::string(", got ") + c.got));
    }
  }
  EXPECT_THAT(result.out, HasSubstr("10 checks: 2 passed, 8 failed\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CheckProcessFaultTest,
    ::testing::Values(
        ProcessFaultCase{
            "AbortsWhenUnloaded", "abort_on_unload", {}, "killed by signal 6 (SIGABRT)"},
        ProcessFaultCase{"ExitsInShutdown", "exit_in_shutdown", {}, "exit status 3"},
        ProcessFaultCase{"HangsInInit", "hang_in_init", {"--timeout", "0.8"}, "timed out"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CheckTest, ATimeLimitThatIsNotAPositiveNumberIsAUsageError) {
  for (const char* limit : {"0", "-1", "soon", ""}) {
    const CommandResult result = runHost({"check", "--timeout", limit, HUSHLINK_MODULE});
    EXPECT_EQ(result.exitCode, 2) << limit;
    EXPECT_THAT(result.err, HasSubstr("--timeout takes a positive number of seconds"));
  }
}

// The child mode is reached only through its environment variable, and
// even then, in a user's folder, it touches nothing there.
TEST_F(CheckTest, TheChildModeRefusesToRunOutsideItsScratchFolder) {
  directory.writeSettings("logging = 1 # mine\n");
  writeFile(".hushlink-check", "\n");
  for (const char* token : {"1234", "guess", ""}) {
    const ScopedEnvironment child({{"HUSHLINK_CHECK_CHILD", token}});
    const CommandResult result = runHost({HUSHLINK_MODULE, "settings-created"});
    EXPECT_EQ(result.exitCode, 2) << token;
    EXPECT_THAT(result.err, HasSubstr("runs only in a folder that 'hushlink-host check' made"));
  }
  EXPECT_EQ(directory.settingsFile(), "logging = 1 # mine\n");
  EXPECT_FALSE(fs::exists("verdict.txt"));
}

TEST_F(CheckTest, AModuleWithoutTheEntryPointsFailsAndOneThatDoesNotLoadIsAnError) {
  const CommandResult partial = runHost({"check", HUSHLINK_PARTIAL_MODULE});
  EXPECT_EQ(partial.exitCode, 1);
  EXPECT_THAT(rows(partial.out)["exported-names"],
              ::testing::StartsWith("  FAIL  exported-names     expected all thirteen entry "
                                    "points, got missing FWinit, FWshutdown"));
  const CommandResult missing = runHost({"check", "absent.so"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_THAT(missing.err, ::testing::StartsWith("hushlink-host: absent.so: cannot load module:"));
}

}  // namespace
}  // namespace hushlink::testing

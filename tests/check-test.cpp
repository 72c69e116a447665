// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host check and replay, end to end on the built module and on
// plugins with one deliberate fault each.
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

CommandResult host(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {HUSHLINK_HOST};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runCommand(command);
}

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

class CheckTest : public ::testing::Test {
 protected:
  CheckTest() { useHeadlessSession(); }
  TempWorkingDirectory directory;
};

TEST_F(CheckTest, TheBuiltModulePassesEveryCheckAndLeavesTheUsersFilesAlone) {
  directory.writeSettings("logging = 1 # mine\n");
  writeFile(directory.path() / "logs/Hushlink.log", "my log\n");
  const CommandResult result = host({"check", HUSHLINK_MODULE});
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
  const CommandResult result = host({"check", variant(c.variant)});
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
  const CommandResult result = host(arguments);
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
    const CommandResult result = host({"check", "--timeout", limit, HUSHLINK_MODULE});
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
    const CommandResult result = host({HUSHLINK_MODULE, "settings-created"});
    EXPECT_EQ(result.exitCode, 2) << token;
    EXPECT_THAT(result.err, HasSubstr("runs only in a folder that 'hushlink-host check' made"));
  }
  EXPECT_EQ(directory.settingsFile(), "logging = 1 # mine\n");
  EXPECT_FALSE(fs::exists("verdict.txt"));
}

TEST_F(CheckTest, AModuleWithoutTheEntryPointsFailsAndOneThatDoesNotLoadIsAnError) {
  const CommandResult partial = host({"check", HUSHLINK_PARTIAL_MODULE});
  EXPECT_EQ(partial.exitCode, 1);
  EXPECT_THAT(rows(partial.out)["exported-names"],
              ::testing::StartsWith("  FAIL  exported-names     expected all thirteen entry "
                                    "points, got missing FWinit, FWshutdown"));
  const CommandResult missing = host({"check", "absent.so"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_THAT(missing.err, ::testing::StartsWith("hushlink-host: absent.so: cannot load module:"));
}

// ---- replay ----

std::string sessionLog() {
  return "Hushlink plugin version 0,6\n"
         "Initializing Hushlink\n"
         "Opening Hushlink.\n"
         "FW read mem 0x1f808410: 0x8\n"
         "FW write mem 0x1f808410: 0x12345678\n"
         "FW read mem 0x8410: 0x12345678\n"
         "FW write mem 0x0: 0x11223344\n"
         "FW read mem 0x1: 0x112233\n"
         "Closing Hushlink.\n";
}

TEST_F(CheckTest, ALogWrittenByRunReplaysClean) {
  directory.writeSettings("logging = 1\n");
  ASSERT_EQ(host({"run", HUSHLINK_MODULE}).exitCode, 0);
  const std::string log = directory.log();
  const CommandResult result = host({"replay", HUSHLINK_MODULE, "logs/Hushlink.log"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out,
            "replayed 8 accesses (6 reads, 2 writes) from logs/Hushlink.log: every read matched\n");
  EXPECT_EQ(directory.log(), log) << "replay must not touch the log it reads";
}

struct ReplayCase {
  const char* name;
  std::string log;
  int exitCode;
  std::string out;
  std::string err;
  friend void PrintTo(const ReplayCase& c, std::ostream* os) { *os << c.name; }
};

class ReplayTest : public CheckTest, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(ReplayTest, ReportsTheAccessesOrTheFirstMismatch) {
  const ReplayCase& c = GetParam();
  writeFile(directory.path() / "session.log", c.log);
  const CommandResult result = host({"replay", HUSHLINK_MODULE, "session.log"});
  EXPECT_EQ(result.exitCode, c.exitCode);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  text.replace(text.find(from), from.size(), to);
  return text;
}

std::string withCrLf(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

const std::string kClean =
    "replayed 5 accesses (3 reads, 2 writes) from session.log: every read matched\n";

INSTANTIATE_TEST_SUITE_P(
    Logs, ReplayTest,
    ::testing::Values(
        ReplayCase{"Clean", sessionLog(), 0, kClean, ""},
        ReplayCase{"CrLfLineEnds", withCrLf(sessionLog()), 0, kClean, ""},
        ReplayCase{"EditedReadValue", replaced(sessionLog(), "0x1: 0x112233", "0x1: 0x112234"), 1,
                   "replayed 4 accesses (2 reads, 2 writes) before the mismatch\n",
                   "hushlink-host: session.log:8: FW read mem 0x1: logged 0x112234, the module "
                   "read 0x112233\n"},
        ReplayCase{"EditedFixedRegister",
                   replaced(withCrLf(sessionLog()), "0x1f808410: 0x8", "0x1f808410: 0x9"), 1,
                   "replayed 0 accesses (0 reads, 0 writes) before the mismatch\n",
                   "hushlink-host: session.log:4: FW read mem 0x1f808410: logged 0x9, the module "
                   "read 0x8\n"},
        ReplayCase{"MalformedAccessLine",
                   replaced(sessionLog(), "0x0: 0x11223344", "0x0 = 0x11223344"), 1, "",
                   "hushlink-host: session.log:7: not a register access line: FW write mem 0x0 "
                   "= 0x11223344\n"},
        ReplayCase{"JoinedSessionsStartOnAFreshStore",
                   "Initializing Hushlink\nFW write mem 0x10: 0x5\nFW read mem 0x10: 0x5\n"
                   "Initializing Hushlink\nFW read mem 0x10: 0x0\n",
                   0,
                   "replayed 3 accesses (2 reads, 1 writes) from session.log: every read "
                   "matched\n",
                   ""},
        ReplayCase{"StartUpLinesAlone", "Hushlink plugin version 0,6\nInitializing Hushlink\n", 0,
                   "replayed 0 accesses (0 reads, 0 writes) from session.log: every read "
                   "matched\n",
                   ""},
        ReplayCase{"NotALog", "root:x:0:0:root:/root:/bin/bash\nHushlink plugin version 0,6\n", 1,
                   "", "hushlink-host: no plugin log lines in session.log\n"},
        ReplayCase{"Empty", "", 1, "", "hushlink-host: no plugin log lines in session.log\n"},
        ReplayCase{"Utf16Log", "\xFF\xFEI\0n\0i\0t\0\n\0", 1, "",
                   "hushlink-host: no plugin log lines in session.log\n"},
        ReplayCase{"Utf8MarkBeforeAnAccessLine",
                   "\xEF\xBB\xBF"
                   "FW write mem 0x4: 0x9\nFW read mem 0x4: 0x9\n",
                   0,
                   "replayed 2 accesses (1 reads, 1 writes) from session.log: every read "
                   "matched\n",
                   ""},
        ReplayCase{
            "LineEndsDoubledToCrCrLf",
            "Initializing Hushlink\r\r\nFW write mem 0x4: 0x9\r\r\nFW read mem 0x4: 0x9\r\r\n", 0,
            "replayed 2 accesses (1 reads, 1 writes) from session.log: every read "
            "matched\n",
            ""},
        ReplayCase{"TheFirstInitLineStartsAFreshStoreToo",
                   "FW write mem 0x10: 0x5\nInitializing Hushlink\nFW read mem 0x10: 0x0\n", 0,
                   "replayed 2 accesses (1 reads, 1 writes) from session.log: every read "
                   "matched\n",
                   ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CheckTest, AnUnreadableLogIsAnError) {
  fs::create_directory(directory.path() / "a-directory.log");
  for (const auto& [log, message] :
       {std::pair{"absent.log", "absent.log: cannot read log\n"},
        std::pair{"a-directory.log", "a-directory.log: cannot read log: it is a folder\n"}}) {
    const CommandResult result = host({"replay", HUSHLINK_MODULE, log});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "hushlink-host: " + std::string(message));
  }
}

// A log that arrives through a pipe: standard input as "-", /dev/stdin, and a
// shell's process substitution.
TEST_F(CheckTest, ALogIsReadFromAnyStream) {
  writeFile(directory.path() / "session.log", sessionLog());
  const std::string replay = std::string(HUSHLINK_HOST) + " replay " + HUSHLINK_MODULE;
  for (const auto& [command, name] :
       {std::pair{"cat session.log | " + replay + " -", std::string("<stdin>")},
        std::pair{"cat session.log | " + replay + " /dev/stdin", std::string("/dev/stdin")},
        std::pair{replay + " <(cat session.log)", std::string("/dev/fd/63")}}) {
    const CommandResult result = runCommand({"/bin/bash", "-c", command});
    EXPECT_EQ(result.exitCode, 0) << command << ": " << result.err;
    EXPECT_THAT(result.out, ::testing::StartsWith("replayed 5 accesses (3 reads, 2 writes) from "))
        << command;
  }
}

// Standard output on a full disk: every command that would have succeeded
// fails, and says why.
TEST_F(CheckTest, LostOutputIsAFailure) {
  writeFile(directory.path() / "session.log", sessionLog());
  const std::string hushlinkHost = HUSHLINK_HOST;
  const std::string module = HUSHLINK_MODULE;
  for (const std::string& command :
       {"info " + module, "run " + module, "check --timeout 10 " + module,
        "replay " + module + " session.log", std::string("--help")}) {
    const CommandResult result =
        runCommand({"/bin/sh", "-c", hushlinkHost + " " + command + " > /dev/full"});
    EXPECT_EQ(result.exitCode, 1) << command;
    EXPECT_THAT(result.err, HasSubstr("hushlink-host: cannot write standard output: No space left "
                                      "on device\n"))
        << command;
  }
}

struct ForeignModuleCase {
  const char* name;
  std::string header;  // the start of the file
  const char* message;
  friend void PrintTo(const ForeignModuleCase& c, std::ostream* os) { *os << c.name; }
};

class ForeignModuleTest : public CheckTest,
                          public ::testing::WithParamInterface<ForeignModuleCase> {};

// A module built for another machine is named as such from its header, and
// never handed to the loader.
TEST_P(ForeignModuleTest, IsRefusedInPlainWords) {
  const ForeignModuleCase& c = GetParam();
  std::string image = c.header;
  image.resize(4096, '\0');
  writeFile(directory.path() / "module.so", image);
  const CommandResult result = host({"info", "module.so"});
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
        ForeignModuleCase{"ThirtyTwoBitElf", elfHeader(1, 3),
                          "module.so is a 32-bit module; this hushlink-host is 64-bit: use the "
                          "64-bit module.so, or the 32-bit hushlink-host"},
        ForeignModuleCase{"ElfForAnotherMachine", elfHeader(2, 183),
                          "module.so is a module for ARM64; this hushlink-host runs on x86-64"},
        ForeignModuleCase{"WindowsDll", peHeader(0x014C, 0x10B),
                          "module.so is a Windows module (PE); this hushlink-host loads Linux "
                          "modules"}),
    [](const auto& info) { return std::string(info.param.name); });

// A million lines: progress on a terminal, nothing extra otherwise.
TEST_F(CheckTest, ALongReplayShowsProgressOnlyOnATerminal) {
  {
    std::ofstream log(directory.path() / "long.log", std::ios::binary);
    char line[64];
    for (std::uint32_t i = 0; i < 500000; ++i) {
      std::snprintf(line, sizeof line, "FW write mem 0x%x: 0x%x\nFW read mem 0x%x: 0x%x\n",
                    0x1F800000 + (i % 0x4000) * 4, i, (i % 0x4000) * 4, i);
      log << line;
    }
  }
  const std::string summary =
      "replayed 1000000 accesses (500000 reads, 500000 writes) from long.log: every read "
      "matched\n";
  const CommandResult plain = host({"replay", HUSHLINK_MODULE, "long.log"});
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_EQ(plain.out, summary);

  if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no script(1) to give it a terminal";
  const CommandResult terminal = runCommand(
      {"/usr/bin/script", "-qec",
       std::string(HUSHLINK_HOST) + " replay " + HUSHLINK_MODULE + " long.log", "/dev/null"});
  EXPECT_EQ(terminal.exitCode, 0);
  EXPECT_THAT(terminal.out, HasSubstr("\rreplaying long.log:  50%"));
  EXPECT_THAT(terminal.out, HasSubstr("replayed 1000000 accesses"));
}

}  // namespace
}  // namespace hushlink::testing

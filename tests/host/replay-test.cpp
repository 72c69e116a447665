// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host replay, end to end on the built module: logs as the plugin
// writes them, edited, joined, cut and arriving through pipes.
#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class ReplayCommandTest : public HarnessTest {};

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

TEST_F(ReplayCommandTest, ALogWrittenByRunReplaysClean) {
  directory.writeSettings("logging = 1\n");
  ASSERT_EQ(runHost({"run", HUSHLINK_MODULE}).exitCode, 0);
  const std::string log = directory.log();
  const CommandResult result = runHost({"replay", HUSHLINK_MODULE, "logs/Hushlink.log"});
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

class ReplayTest : public ReplayCommandTest, public ::testing::WithParamInterface<ReplayCase> {};

TEST_P(ReplayTest, ReportsTheAccessesOrTheFirstMismatch) {
  const ReplayCase& c = GetParam();
  writeFile(directory.path() / "session.log", c.log);
  const CommandResult result = runHost({"replay", HUSHLINK_MODULE, "session.log"});
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
        // The piece of a line whose rest never reached the log (a full
        // disk): a record cut short is no evidence, and a session start cut
        // short would drop its session without a word.
        ReplayCase{
            "AddressCutShort",
            replaced(sessionLog(), "FW write mem 0x1f808410: 0x12345678", "FW write mem 0x1f8"), 1,
            "", "hushlink-host: session.log: line 5 is cut short: FW write mem 0x1f8\n"},
        ReplayCase{
            "CutBeforeTheAddress",
            replaced(withCrLf(sessionLog()), "FW read mem 0x8410: 0x12345678", "FW read mem 0x"), 1,
            "", "hushlink-host: session.log: line 6 is cut short: FW read mem 0x\n"},
        ReplayCase{"CutAfterTheAddress",
                   replaced(sessionLog(), "FW write mem 0x1f808410: 0x12345678",
                            "FW write mem 0x1f808410:"),
                   1, "",
                   "hushlink-host: session.log: line 5 is cut short: FW write mem 0x1f808410:\n"},
        ReplayCase{"CutInTheWordsOfAnAccess",
                   replaced(sessionLog(), "FW read mem 0x1: 0x112233", "FW re"), 1, "",
                   "hushlink-host: session.log: line 8 is cut short: FW re\n"},
        ReplayCase{"SessionStartCutShort",
                   replaced(sessionLog(), "Initializing Hushlink", "Initializing H"), 1, "",
                   "hushlink-host: session.log: line 2 is cut short: Initializing H\n"},
        ReplayCase{"CutAtTheEndOfTheLog", sessionLog() + "FW write mem 0x1f808410: 0", 1, "",
                   "hushlink-host: session.log: line 10 is cut short: FW write mem 0x1f808410: "
                   "0\n"},
        // Pieces of the other plugin lines carry nothing replay reads.
        ReplayCase{"PiecesOfOtherLinesArePassedOver",
                   replaced(replaced(replaced(sessionLog(), "Hushlink plugin version 0,6",
                                              "Hushlink plugi"),
                                     "Opening Hushlink.", "Opening H"),
                            "Closing Hushlink.", "Closing"),
                   0, kClean, ""},
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

TEST_F(ReplayCommandTest, AnUnreadableLogIsAnError) {
  fs::create_directory(directory.path() / "a-directory.log");
  for (const auto& [log, message] :
       {std::pair{"absent.log", "absent.log: cannot read log\n"},
        std::pair{"a-directory.log", "a-directory.log: cannot read log: it is a folder\n"}}) {
    const CommandResult result = runHost({"replay", HUSHLINK_MODULE, log});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "hushlink-host: " + std::string(message));
  }
}

// A log that arrives through a pipe: standard input as "-", /dev/stdin, and a
// shell's process substitution.
TEST_F(ReplayCommandTest, ALogIsReadFromAnyStream) {
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

// A million lines: progress on a terminal, nothing extra otherwise.
TEST_F(ReplayCommandTest, ALongReplayShowsProgressOnlyOnATerminal) {
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
  const CommandResult plain = runHost({"replay", HUSHLINK_MODULE, "long.log"});
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

// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host summary end to end, on fixture logs and on logs made here.
#include <gmock/gmock.h>

#include <string>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

const std::string kFixtures = HUSHLINK_FIXTURES_DIRECTORY;
// Two sessions, CR LF line ends, and a UTF-8 byte-order mark before its
// first line, "Initializing Hushlink": a mark read as text would hide a
// session, a CR left on would hide both and make every access malformed.
const std::string kTwoSessions = kFixtures + "/two-sessions.log";

const std::string kTwoSessionsTable =
    "sessions:            2\n"
    "reads:               6\n"
    "writes:              4\n"
    "offsets:             3\n"
    "fixed-read register: 0x1f808410 read 2 times\n"
    "\n"
    "offset  addresses                     reads  writes  values  first written   last read\n"
    "0x0004  0x1f800004                        1       0       0  -               0x0\n"
    "0x1000  0x1000 0x1f801000 0xffff1000      2       3       2  0x12345678 0x0  0x0\n"
    "0x8410  0x8410 0x1f808410                 3       1       1  0x5             0x5\n";

const std::string kTwoSessionsCsv =
    "offset,addresses,reads,writes,values,first_written,last_read\n"
    "0x0004,0x1f800004,1,0,0,,0x0\n"
    "0x1000,0x1000 0x1f801000 0xffff1000,2,3,2,0x12345678 0x0,0x0\n"
    "0x8410,0x8410 0x1f808410,3,1,1,0x5,0x5\n";

CommandResult summary(const std::string& arguments) {
  return runCommand({"/bin/sh", "-c", std::string(HUSHLINK_HOST) + " summary " + arguments});
}

struct SummaryCase {
  const char* name;
  std::string arguments;  // after "summary", through the shell
  int exitCode;
  std::string out;
  std::string err;
  friend void PrintTo(const SummaryCase& c, std::ostream* os) { *os << c.name; }
};

class SummaryTest : public ::testing::TestWithParam<SummaryCase> {
 protected:
  TempWorkingDirectory directory;
};

TEST_P(SummaryTest, PrintsTheRowsOrSaysWhyNot) {
  const SummaryCase& c = GetParam();
  const CommandResult result = summary(c.arguments);
  EXPECT_EQ(result.exitCode, c.exitCode);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(result.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Logs, SummaryTest,
    ::testing::Values(
        SummaryCase{"TwoSessions", kTwoSessions, 0, kTwoSessionsTable, ""},
        SummaryCase{"TwoSessionsAsCsv", "--csv " + kTwoSessions, 0, kTwoSessionsCsv, ""},
        SummaryCase{"FromStandardInput", "- < " + kTwoSessions, 0, kTwoSessionsTable, ""},
        SummaryCase{"NotALog", kFixtures + "/not-a-log.trace", 1, "",
                    "hushlink-host: no plugin log lines in " + kFixtures + "/not-a-log.trace\n"},
        SummaryCase{"NotALogOnStandardInput", "- < " + kFixtures + "/not-a-log.trace", 1, "",
                    "hushlink-host: no plugin log lines in <stdin>\n"},
        // A piece of a line whose rest never reached the log (a full disk)
        // is neither summed up nor passed over: a piece of an access is no
        // evidence, and one of a session start would hide its session.
        SummaryCase{
            "AccessCutShort", kFixtures + "/cut.log", 1, "",
            "hushlink-host: " + kFixtures + "/cut.log: line 5 is cut short: FW write mem 0x1f8\n"},
        SummaryCase{"SessionStartCutShortOnStandardInput",
                    "- < " + kFixtures + "/cut-session-start.log", 1, "",
                    "hushlink-host: <stdin>: line 7 is cut short: Initializing Hushli\n"},
        SummaryCase{"Missing", "absent.log", 1, "", "hushlink-host: absent.log: cannot read log\n"},
        SummaryCase{"AFolder", ".", 1, "", "hushlink-host: .: cannot read log: it is a folder\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// One offset reached through six addresses, written six distinct values, and
// a log that begins without its session start: the row lists the lowest
// four addresses and the first four values written, and counts the rest.
TEST(SummaryListsTest, ListTheFirstFewAndCountTheRest) {
  TempWorkingDirectory directory;
  std::string log;
  for (const char* line :
       {"FW write mem 0x50100: 0x6", "FW write mem 0x40100: 0x5", "FW write mem 0x30100: 0x4",
        "FW write mem 0x20100: 0x3", "FW write mem 0x10100: 0x2", "FW write mem 0x100: 0x1",
        "FW write mem 0x100: 0x6", "FW read mem 0x100: 0x6"}) {
    log += std::string(line) + "\n";
  }
  writeFile(directory.path() / "probe.log", log);
  const CommandResult result = summary("--csv probe.log");
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out,
            "offset,addresses,reads,writes,values,first_written,last_read\n"
            "0x0100,0x100 0x10100 0x20100 0x30100 +2 more,1,7,6,0x6 0x5 0x4 0x3 +2 more,0x6\n");
  const CommandResult table = summary("probe.log");
  EXPECT_THAT(table.out, ::testing::StartsWith("sessions:            0\nreads:               1\n"
                                               "writes:              7\noffsets:             1\n"
                                               "fixed-read register: 0x1f808410 not read\n"));
}

// The log is read as replay reads it: a line that starts like an access but
// is none stops the summary at its line.
TEST(SummaryListsTest, AGarbledAccessLineIsAnError) {
  TempWorkingDirectory directory;
  writeFile(directory.path() / "bad.log", "Initializing Hushlink\r\nFW read mem 0x10 = 0x0\r\n");
  const CommandResult result = summary("bad.log");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "hushlink-host: bad.log:2: not a register access line: FW read mem 0x10 = 0x0\n");
}

}  // namespace
}  // namespace hushlink::testing

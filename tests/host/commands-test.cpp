// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host run end to end on the built module, in a fresh working
// directory each, as a user would run it.
#include <gmock/gmock.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class HostTest : public HarnessTest {};

TEST_F(HostTest, InfoShowsIdentificationAndAllThirteenEntryPoints) {
  const CommandResult result = runHost({"info", HUSHLINK_MODULE});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  // The 32-bit build's info is checked by its own test, i386-host-info.
  EXPECT_THAT(result.out,
              HasSubstr("\nformat:   ELF 64-bit x86-64\ntype:     0x40 (FireWire plugin)\n"));
  EXPECT_THAT(result.out, HasSubstr("name:     Hushlink Driver\n"));
  EXPECT_THAT(result.out, HasSubstr("version:  0x00020006 (2.0.6)\n"));
  for (const char* line :
       {"  PS2EgetLibType        2  yes\n", "  FWread32             11  yes\n",
        "  FWwrite32            14  yes\n", "  FWabout              19  yes\n"}) {
    EXPECT_THAT(result.out, HasSubstr(line));
  }
  EXPECT_EQ(result.err, "");
}

TEST_F(HostTest, DemoSessionShowsTheDeviceAndLogsIt) {
  directory.writeSettings("logging = 1\n");
  const CommandResult result = runHost({"run", HUSHLINK_MODULE});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  for (const char* line : {"FWinit -> 0\n", "read  0x1f808410 -> 0x00000008\n",
                           "read  0x00008410 -> 0x12345678\n", "read  0x1f800001 -> 0x00112233\n",
                           "interrupts raised: 0\n", "FW read mem 0x1f800001: 0x112233\n"}) {
    EXPECT_THAT(result.out, HasSubstr(line));
  }
  const std::string log = directory.log();
  EXPECT_EQ(log.rfind("Hushlink plugin version 0,6\nInitializing Hushlink\nOpening Hushlink.\n", 0),
            0u);
  EXPECT_THAT(log, HasSubstr("FW write mem 0x1f808410: 0x12345678\nFW read mem 0x1f808410: 0x8\n"));
  EXPECT_THAT(log, HasSubstr("FW read mem 0x1f800001: 0x112233\nClosing Hushlink.\n"));
}

TEST_F(HostTest, TraceFileIsRunLineByLine) {
  writeFile(directory.path() / "session.trace",
            "# set up a word, then read it back through an alias\n"
            "w 0x1F801000 305419896   # decimal 0x12345678\n"
            "\n"
            "r 0x00001000\n"
            "R 0x1000\n");
  const CommandResult lowerOnly = runHost({"run", HUSHLINK_MODULE, "session.trace"});
  EXPECT_EQ(lowerOnly.exitCode, 1);
  EXPECT_EQ(lowerOnly.err,
            "hushlink-host: session.trace:5: unknown access 'R' (expected 'r ADDRESS' or "
            "'w ADDRESS VALUE')\n");
  EXPECT_EQ(lowerOnly.out, "") << "nothing runs before the whole trace has parsed";

  writeFile(directory.path() / "session.trace",
            "w 0x1F801000 305419896   # decimal 0x12345678\nr 0x00001000\n");
  const CommandResult result = runHost({"run", HUSHLINK_MODULE, "session.trace"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("write 0x1f801000 <- 0x12345678\n"
                                    "read  0x00001000 -> 0x12345678\n"));
  EXPECT_EQ(directory.settingsFile(), "logging = 0\n") << "the plugin's first run creates it";
}

struct ErrorCase {
  const char* name;
  friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }
  std::vector<std::string> arguments;
  const char* trace;  // written to bad.trace when not null
  int exitCode;
  std::string message;  // the start of standard error
};

class HostErrorTest : public HostTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(HostErrorTest, BadInputGetsAOneLineErrorAndANonZeroExit) {
  const ErrorCase& c = GetParam();
  if (c.trace != nullptr) writeFile(directory.path() / "bad.trace", c.trace);
  const CommandResult result = runHost(c.arguments);
  EXPECT_EQ(result.exitCode, c.exitCode);
  EXPECT_EQ(result.err.substr(0, c.message.size()), c.message) << result.err;
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "logs/Hushlink.log"));
}

const ErrorCase kErrorCases[] = {
    {"TraceIsAFolder",
     {"run", HUSHLINK_MODULE, "."},
     nullptr,
     1,
     "hushlink-host: .: is a folder, not a trace\n"},
    {"ModuleMissing",
     {"run", "no-such-module.so"},
     nullptr,
     1,
     "hushlink-host: no-such-module.so: cannot load module: ./no-such-module.so: cannot open"},
    {"NotAModule",
     {"info", "bad.trace"},
     "r 1\n",
     1,
     "hushlink-host: bad.trace: cannot load module: ./bad.trace: "},
    {"InfoMissingEntryPoints",
     {"info", HUSHLINK_PARTIAL_MODULE},
     nullptr,
     1,
     std::string("hushlink-host: ") + HUSHLINK_PARTIAL_MODULE +
         ": missing entry points: FWinit, FWshutdown, FWopen, FWclose, FWread32, FWwrite32, "
         "FWirqCallback, FWconfigure, FWtest, FWabout\n"},
    {"RunMissingEntryPoints",
     {"run", HUSHLINK_PARTIAL_MODULE},
     nullptr,
     1,
     std::string("hushlink-host: ") + HUSHLINK_PARTIAL_MODULE +
         ": missing entry points: FWinit, FWshutdown, FWopen, FWclose, FWread32, FWwrite32\n"},
    {"AboutMissingEntryPoint",
     {"about", HUSHLINK_PARTIAL_MODULE},
     nullptr,
     1,
     std::string("hushlink-host: ") + HUSHLINK_PARTIAL_MODULE + ": missing entry point: FWabout\n"},
    {"ConfigureModuleMissing",
     {"configure", "no-such-module.so"},
     nullptr,
     1,
     "hushlink-host: no-such-module.so: cannot load module: "},
    {"TraceMissing",
     {"run", HUSHLINK_MODULE, "absent.trace"},
     nullptr,
     1,
     "hushlink-host: absent.trace: cannot open trace\n"},
    {"ValueMissing",
     {"run", HUSHLINK_MODULE, "bad.trace"},
     "r 1\nw 0x10\n",
     1,
     "hushlink-host: bad.trace:2: 'w' takes two numbers: w ADDRESS VALUE\n"},
    {"NumberTooBig",
     {"run", HUSHLINK_MODULE, "bad.trace"},
     "# fine\nr 0x100000000\n",
     1,
     "hushlink-host: bad.trace:2: '0x100000000' is not a 32-bit number (hex with 0x, or "
     "decimal)\n"},
    {"NotANumber",
     {"run", HUSHLINK_MODULE, "bad.trace"},
     "w 0x10 ten\n",
     1,
     "hushlink-host: bad.trace:1: 'ten' is not a 32-bit number"},
    {"NegativeNumber",
     {"run", HUSHLINK_MODULE, "bad.trace"},
     "r -1\n",
     1,
     "hushlink-host: bad.trace:1: '-1' is not a 32-bit number"},
    {"ExtraNumber",
     {"run", HUSHLINK_MODULE, "bad.trace"},
     "r 1 2\n",
     1,
     "hushlink-host: bad.trace:1: 'r' takes one number: r ADDRESS\n"},
};

INSTANTIATE_TEST_SUITE_P(Inputs, HostErrorTest, ::testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The plugin's two dialogs without the emulator: headless, each shows as the
// plugin's own "Message:" line; configure rewrites a hand-edited settings
// file in the current directory.
TEST_F(HostTest, AboutAndConfigureCallTheirEntryPointOnce) {
  const CommandResult about = runHost({"about", HUSHLINK_MODULE});
  EXPECT_EQ(about.exitCode, 0) << about.err;
  EXPECT_EQ(about.out, "");
  EXPECT_EQ(about.err, "Message: Hushlink：纯粹的空插件。\n");

  directory.writeSettings("logging=7 # set by hand\nsecond line\n");
  const CommandResult configure = runHost({"configure", HUSHLINK_MODULE});
  EXPECT_EQ(configure.exitCode, 0) << configure.err;
  EXPECT_EQ(configure.err, "Message: This space intentionally left blank.\n");
  EXPECT_EQ(directory.settingsFile(), "logging = 7\n");
  EXPECT_FALSE(std::filesystem::exists(directory.path() / "logs/Hushlink.log"));
}

TEST_F(HostTest, HelpDocumentsTheCommandsTheTraceFormatTheFilesAndTheExitStatus) {
  const CommandResult result = runHost({"--help"});
  EXPECT_EQ(result.exitCode, 0);
  for (const char* text :
       {"info MODULE", "run MODULE [TRACE]", "check [--timeout=SECONDS] MODULE",
        "replay MODULE LOG", "summary [--csv] LOG", "about MODULE", "configure MODULE",
        "help [COMMAND]", "r ADDRESS", "w ADDRESS VALUE", "# TEXT", "inis/Hushlink.ini",
        "logs/Hushlink.log", "\nExit status:\n", "\nFiles:\n"}) {
    EXPECT_THAT(result.out, HasSubstr(text));
  }
  EXPECT_THAT(result.out, Not(HasSubstr("child"))) << "the check's child mode is no command";
  std::istringstream lines(result.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_LE(line.size(), 79u) << line;
  }
}

// ---- the command line ----

struct CommandLineCase {
  const char* name;
  std::vector<std::string> arguments;
  int exitCode;
  // Success: the first line of standard output. Failure: all of standard
  // error, or its start when it ends in a message of the system's.
  std::string expected;
  friend void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.name; }
};

class CommandLineTest : public HostTest, public ::testing::WithParamInterface<CommandLineCase> {};

TEST_P(CommandLineTest, GivesTheExitStatusAndTheFirstLine) {
  const CommandLineCase& c = GetParam();
  writeFile(directory.path() / "session.log",
            "Initializing Hushlink\nFW write mem 0x1f801000: 0x5\nFW read mem 0x1000: 0x5\n");
  const CommandResult result = runHost(c.arguments);
  EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err;
  if (c.exitCode == 0) {
    EXPECT_EQ(result.out.substr(0, result.out.find('\n')), c.expected);
    EXPECT_EQ(result.err, "");
  } else {
    EXPECT_EQ(result.err.substr(0, c.expected.size()), c.expected);
    if (c.exitCode == 2) {
      EXPECT_EQ(result.err, c.expected) << "one line and a pointer to the help";
    }
    EXPECT_EQ(result.out, "");
  }
}

std::string usageError(const std::string& message, const std::string& command = "") {
  return "hushlink-host: " + message + "\nTry 'hushlink-host " + command +
         (command.empty() ? "" : " ") + "--help'.\n";
}

const std::string kNoModule = "hushlink-host: absent.so: cannot load module: ";

const CommandLineCase kCommandLineCases[] = {
    // The help of each command, asked for in every way.
    {"InfoHelp", {"info", "--help"}, 0, "Usage: hushlink-host info MODULE"},
    {"RunHelp", {"run", "-h"}, 0, "Usage: hushlink-host run MODULE [TRACE]"},
    {"CheckHelp", {"check", "--help"}, 0, "Usage: hushlink-host check [OPTION]... MODULE"},
    {"CheckHelpAfterTheOperand",
     {"check", HUSHLINK_MODULE, "--help"},
     0,
     "Usage: hushlink-host check [OPTION]... MODULE"},
    {"ReplayHelp", {"help", "replay"}, 0, "Usage: hushlink-host replay MODULE LOG"},
    {"SummaryHelp", {"summary", "--help"}, 0, "Usage: hushlink-host summary [OPTION]... LOG"},
    {"AboutHelp", {"help", "about"}, 0, "Usage: hushlink-host about MODULE"},
    {"ConfigureHelp", {"configure", "--help"}, 0, "Usage: hushlink-host configure MODULE"},
    {"GeneralHelp", {"--help"}, 0, "Usage: hushlink-host COMMAND [OPTION]... OPERAND..."},
    {"HelpAlone", {"help"}, 0, "Usage: hushlink-host COMMAND [OPTION]... OPERAND..."},
    {"Version", {"--version"}, 0, "hushlink-host " HUSHLINK_VERSION},
    // Options before and after the operands, in both spellings.
    {"OptionBeforeTheOperand",
     {"summary", "--csv", "session.log"},
     0,
     "offset,addresses,reads,writes,values,first_written,last_read"},
    {"OptionAfterTheOperand",
     {"summary", "session.log", "--csv"},
     0,
     "offset,addresses,reads,writes,values,first_written,last_read"},
    {"ValueAfterTheOperand", {"check", "absent.so", "--timeout", "5"}, 1, kNoModule},
    {"ValueJoined", {"check", "--timeout=5", "absent.so"}, 1, kNoModule},
    {"BadValueAfterTheOperand",
     {"check", "absent.so", "--timeout=soon"},
     2,
     usageError("--timeout takes a positive number of seconds, not 'soon'", "check")},
    // "--" ends the options: what follows is an operand, whatever it looks like.
    {"DoubleDashEndsTheOptions",
     {"summary", "--", "--csv"},
     1,
     "hushlink-host: --csv: cannot read log\n"},
    {"HelpAfterTheDoubleDash",
     {"info", "--", "--help"},
     1,
     "hushlink-host: --help: cannot load module: "},
    // Usage errors: one line naming the fault, and where the help is.
    {"UnknownOption",
     {"check", "--frobnicate", HUSHLINK_MODULE},
     2,
     usageError("unknown option '--frobnicate'", "check")},
    {"UnknownShortOption",
     {"summary", "session.log", "-x"},
     2,
     usageError("unknown option '-x'", "summary")},
    {"OptionOfAnotherCommand",
     {"replay", "--timeout=5", HUSHLINK_MODULE, "session.log"},
     2,
     usageError("unknown option '--timeout'", "replay")},
    {"OptionWithoutItsValue",
     {"check", HUSHLINK_MODULE, "--timeout"},
     2,
     usageError("option '--timeout' needs an argument: --timeout SECONDS", "check")},
    {"ValueForAnOptionWithout",
     {"summary", "--csv=yes", "session.log"},
     2,
     usageError("option '--csv' takes no argument", "summary")},
    {"MissingModule", {"info"}, 2, usageError("missing operand MODULE", "info")},
    {"MissingLog", {"replay", HUSHLINK_MODULE}, 2, usageError("missing operand LOG", "replay")},
    {"ExtraOperand",
     {"about", HUSHLINK_MODULE, "extra"},
     2,
     usageError("unexpected operand 'extra'", "about")},
    {"NoCommand", {}, 2, usageError("no command given")},
    {"UnknownCommand", {"frobnicate"}, 2, usageError("unknown command 'frobnicate'")},
    {"HelpOfTwoCommands", {"help", "check", "run"}, 2, usageError("unexpected operand 'run'")},
    {"HelpOfAnUnknownCommand",
     {"help", "frobnicate"},
     2,
     usageError("unknown command 'frobnicate'")},
    // The check's child process is no command a user can reach.
    {"ChildModeByItsOldName",
     {"--check-child", HUSHLINK_MODULE, "settings-created", "1234"},
     2,
     usageError("unknown command '--check-child'")},
};

INSTANTIATE_TEST_SUITE_P(Lines, CommandLineTest, ::testing::ValuesIn(kCommandLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Standard output on a full disk: every command that would have succeeded
// fails, and says why.
TEST_F(HostTest, LostOutputIsAFailure) {
  writeFile(directory.path() / "session.log",
            "Initializing Hushlink\nFW read mem 0x1f808410: 0x8\n");
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

}  // namespace
}  // namespace hushlink::testing

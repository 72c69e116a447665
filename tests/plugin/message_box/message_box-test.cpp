// SPDX-License-Identifier: GPL-2.0-or-later
// The message box on a POSIX desktop. Stand-in dialog programs, alone on
// PATH (whatever dialog programs the machine itself has, none may open a real
// window here), record the arguments they are given and take their time to
// close, so the tests see exactly what a real dialog would be asked to show
// and that the plugin waits for it.
#include "plugin/message_box/message_box.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

namespace fs = std::filesystem;

// Splits a record of NUL-terminated arguments.
std::vector<std::string> arguments(const std::string& record) {
  std::vector<std::string> result;
  std::string current;
  for (const char c : record) {
    if (c == '\0') {
      result.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return result;
}

class DesktopTest : public ::testing::Test {
 protected:
  DesktopTest() : savedPath_(std::getenv("PATH")) {
    useHeadlessSession();
    fs::create_directory(directory_.path() / "bin");
    ::setenv("PATH", (directory_.path() / "bin").c_str(), 1);
  }
  ~DesktopTest() override {
    ::setenv("PATH", savedPath_.c_str(), 1);
    useHeadlessSession();
  }

  // A dialog program that records its arguments, then stays open a moment
  // before it notes that it has closed, and exits as the real one does when
  // the user has pressed OK. It finds its helpers by absolute path: PATH
  // holds the stand-ins alone.
  void installStandIn(const std::string& program, bool fails = false) {
    const fs::path script = directory_.path() / "bin" / program;
    writeFile(script,
              "#!/bin/sh\n"
              "printf '%s\\0' \"$0\" \"$@\" > \"" +
                  record() +
                  "\"\n"
                  "/bin/sleep 0.3\n"
                  "echo closed > \"" +
                  record() + ".closed\"\nexit " +
                  (fails                   ? "1"
                   : program == "xmessage" ? "101"
                                           : "0") +
                  "\n");
    fs::permissions(script, fs::perms::owner_all);
  }

  std::string record() const { return (directory_.path() / "dialog.record").string(); }
  std::vector<std::string> recordedArguments() const { return arguments(readFile(record())); }
  bool dialogClosed() const { return fs::exists(record() + ".closed"); }

  TempWorkingDirectory directory_{TempWorkingDirectory::kEmpty};

 private:
  std::string savedPath_;
};

TEST_F(DesktopTest, ZenityGetsCaptionTextAndOkButtonAsSeparateArgumentsAndIsWaitedFor) {
  installStandIn("zenity");
  ::setenv("DISPLAY", ":42", 1);
  CapturedOutput err(2);
  showMessage("Disk %d of %s", 2, "4");
  EXPECT_TRUE(dialogClosed()) << "showMessage returned before the dialog closed";
  const std::vector<std::string> expected = {(directory_.path() / "bin/zenity").string(), "--info",
                                             "--no-markup", "--title=Message",
                                             "--text=Disk 2 of 4"};
  EXPECT_EQ(recordedArguments(), expected);
  EXPECT_EQ(err.text(), "");
}

// The text reaches the dialog as one argument, never through a shell.
TEST_F(DesktopTest, ShellMetacharactersReachTheDialogUntouched) {
  installStandIn("zenity");
  ::setenv("DISPLAY", ":0", 1);
  const std::string text = "a \"b\" 'c' $(touch pwned) `touch pwned` ; & | <i>bold</i>\nnext";
  showMessage("%s", text.c_str());
  ASSERT_EQ(recordedArguments().size(), 5u);
  EXPECT_EQ(recordedArguments()[4], "--text=" + text);
  EXPECT_FALSE(fs::exists(directory_.path() / "pwned"));
}

TEST_F(DesktopTest, TheAboutTextIsConvertedFromGbkToUtf8) {
  installStandIn("zenity");
  ::setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  showMessage("Hushlink\xA3\xBA\xB4\xBF\xB4\xE2\xB5\xC4\xBF\xD5\xB2\xE5\xBC\xFE\xA1\xA3");
  ASSERT_EQ(recordedArguments().size(), 5u);
  EXPECT_EQ(recordedArguments()[4], "--text=Hushlink：纯粹的空插件。");
}

struct ChoiceCase {
  const char* name;
  friend void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }
  std::vector<std::string> installed;
  std::vector<std::string> expectedTail;  // the arguments after the program's path
  std::vector<std::string> failing = {};  // installed, but cannot open the display
};

class DialogChoiceTest : public DesktopTest, public ::testing::WithParamInterface<ChoiceCase> {};

TEST_P(DialogChoiceTest, TheFirstAvailableProgramIsUsedWithItsOwnArguments) {
  for (const std::string& program : GetParam().installed) installStandIn(program);
  for (const std::string& program : GetParam().failing) installStandIn(program, true);
  ::setenv("DISPLAY", ":1", 1);
  ScopedEnvironment utf8({{"LC_ALL", "C.UTF-8"}});
  showMessage("hello");
  EXPECT_TRUE(dialogClosed());
  std::vector<std::string> recorded = recordedArguments();
  ASSERT_FALSE(recorded.empty());
  recorded.erase(recorded.begin());
  EXPECT_EQ(recorded, GetParam().expectedTail);
}

const std::vector<std::string> kZenity = {"--info", "--no-markup", "--title=Message",
                                          "--text=hello"};
const std::vector<std::string> kKdialog = {"--title", "Message", "--msgbox", "hello"};
const std::vector<std::string> kXmessage = {"-xrm",     "*international: true",
                                            "-title",   "Message",
                                            "-buttons", "OK",
                                            "-default", "OK",
                                            "-center",  "hello"};

INSTANTIATE_TEST_SUITE_P(
    Programs, DialogChoiceTest,
    ::testing::Values(ChoiceCase{"AllThree", {"xmessage", "kdialog", "zenity"}, kZenity},
                      ChoiceCase{"KdialogBeforeXmessage", {"xmessage", "kdialog"}, kKdialog},
                      ChoiceCase{"XmessageAlone", {"xmessage"}, kXmessage},
                      ChoiceCase{"AFailingZenityIsPassedOver", {"kdialog"}, kKdialog, {"zenity"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct XmessageLocaleCase {
  const char* name;
  friend void PrintTo(const XmessageLocaleCase& c, std::ostream* os) { *os << c.name; }
  const char* locale;
  std::vector<std::string> expectedTail;
};

class XmessageLocaleTest : public DesktopTest,
                           public ::testing::WithParamInterface<XmessageLocaleCase> {};

// xmessage shows what the user's locale can: UTF-8 with its international
// resource in a UTF-8 locale, the locale's own characters otherwise, and
// "?" for what the locale's character set lacks.
TEST_P(XmessageLocaleTest, GetsTheTextInTheUsersCharacterSet) {
  installStandIn("xmessage");
  ::setenv("DISPLAY", ":1", 1);
  ScopedEnvironment locale({{"LC_ALL", GetParam().locale}});
  showMessage("Hushlink\xA3\xBA\xB4\xBF\xB4\xE2\xB5\xC4\xBF\xD5\xB2\xE5\xBC\xFE\xA1\xA3");
  std::vector<std::string> recorded = recordedArguments();
  ASSERT_FALSE(recorded.empty());
  recorded.erase(recorded.begin());
  EXPECT_EQ(recorded, GetParam().expectedTail);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, XmessageLocaleTest,
    ::testing::Values(XmessageLocaleCase{"Utf8",
                                         "C.UTF-8",
                                         {"-xrm", "*international: true", "-title", "Message",
                                          "-buttons", "OK", "-default", "OK", "-center",
                                          "Hushlink：纯粹的空插件。"}},
                      XmessageLocaleCase{"C",
                                         "C",
                                         {"-title", "Message", "-buttons", "OK", "-default", "OK",
                                          "-center", "Hushlink????????"}},
                      XmessageLocaleCase{"NotInstalledIsTheCLocale",
                                         "xx_YY.UTF-8",
                                         {"-title", "Message", "-buttons", "OK", "-default", "OK",
                                          "-center", "Hushlink????????"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct HeadlessCase {
  const char* name;
  friend void PrintTo(const HeadlessCase& c, std::ostream* os) { *os << c.name; }
  const char* display;         // null: unset
  const char* waylandDisplay;  // null: unset
  bool installZenity;
};

class HeadlessTest : public DesktopTest, public ::testing::WithParamInterface<HeadlessCase> {};

// Without a desktop, or without a dialog program, the text goes to standard
// error at once and nothing blocks.
TEST_P(HeadlessTest, TheMessageGoesToStandardError) {
  const HeadlessCase& c = GetParam();
  if (c.installZenity) installStandIn("zenity");
  if (c.display != nullptr) ::setenv("DISPLAY", c.display, 1);
  if (c.waylandDisplay != nullptr) ::setenv("WAYLAND_DISPLAY", c.waylandDisplay, 1);
  CapturedOutput err(2);
  showMessage("%s", "Error allocating Memory");
  EXPECT_EQ(err.text(), "Message: Error allocating Memory\n");
  EXPECT_FALSE(fs::exists(record()));
}

INSTANTIATE_TEST_SUITE_P(Sessions, HeadlessTest,
                         ::testing::Values(HeadlessCase{"NoDisplayVariables", nullptr, nullptr,
                                                        true},
                                           HeadlessCase{"EmptyDisplayVariables", "", "", true},
                                           HeadlessCase{"NoDialogProgram", ":0", nullptr, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A host that ignores SIGCHLD never lets us learn the dialog's status: the
// program ran and was waited for, and the message is not shown again on
// standard error.
TEST_F(DesktopTest, AHostThatReapsItsOwnChildrenGetsTheMessageOnce) {
  installStandIn("zenity");
  ::setenv("DISPLAY", ":42", 1);
  CapturedOutput err(2);
  std::fflush(nullptr);
  const pid_t host = ::fork();
  if (host == 0) {
    ::signal(SIGCHLD, SIG_IGN);
    showMessage("%s", "hello");
    ::_exit(dialogClosed() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(host, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "returned before the box closed";
  EXPECT_EQ(recordedArguments().size(), 5u);
  EXPECT_EQ(err.text(), "");
}

TEST_F(DesktopTest, BytesThatAreNotGbkBecomeQuestionMarks) {
  CapturedOutput err(2);
  // 0xFF is no GBK byte; 0x81 0x30 is no GBK pair; 0xB4 needs a second byte.
  showMessage(
      "a\xFF"
      "b\x81"
      "0c\xB4");
  EXPECT_EQ(err.text(), "Message: a?b?0c?\n");
}

}  // namespace
}  // namespace hushlink::testing

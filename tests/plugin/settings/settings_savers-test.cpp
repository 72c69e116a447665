// SPDX-License-Identifier: GPL-2.0-or-later
// Savers of one settings file in several processes: hosts killed in the
// middle of a save, and hosts saving at the same moment while another reads.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "plugin/settings/settings_file.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {
namespace {

constexpr const char* kPath = "inis//Hushlink.ini";

// A host killed again and again in the middle of saving: the file always
// holds its whole line, at most one leftover sits beside it, and the next
// save takes that leftover over.
TEST(SettingsSaversInProcesses, AHostKilledMidSaveLeavesAtMostOneLeftover) {
  TempWorkingDirectory directory(TempWorkingDirectory::kInis);
  writeFile("inis/Hushlink.ini", "logging = 3\n");
  std::size_t mostLeftOver = 0;
  for (int kill = 0; kill < 150; ++kill) {
    const pid_t saver = ::fork();
    if (saver == 0) {
      for (;;) writeLogging(kPath, 3);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200 + (kill * 137) % 1800));
    ::kill(saver, SIGKILL);
    ::waitpid(saver, nullptr, 0);
    ASSERT_EQ(readFile("inis/Hushlink.ini"), "logging = 3\n") << "after kill " << kill;
    mostLeftOver = std::max(mostLeftOver, folderEntries("inis").size() - 1);
  }
  EXPECT_LE(mostLeftOver, 1u);
  EXPECT_EQ(writeLogging(kPath, 3), SaveOutcome::Replaced);
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
}

// Whether the child is still at work, leaving its status to be collected.
bool stillRunning(pid_t child) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

int fromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atoi(value) : fallback;
}

// Processes saving one file at the same moment, lines of different lengths,
// while this one reads it without pause: every look finds one whole line,
// every saver has every turn it asks for, and only the file is left.
// HUSHLINK_SAVERS and HUSHLINK_SAVES make the run as large as wanted.
TEST(SettingsSaversInProcesses, TakeTurnsWhileAReaderAlwaysFindsOneWholeLine) {
  TempWorkingDirectory directory(TempWorkingDirectory::kInis, memoryBackedTempFolder());
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  const int saverCount = fromEnvironment("HUSHLINK_SAVERS", 4);
  const int saves = fromEnvironment("HUSHLINK_SAVES", 200);
  std::vector<std::string> whole;
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  std::vector<pid_t> savers;
  for (int i = 0; i < saverCount; ++i) {
    const std::int32_t value = i == 0 ? 1 : -123456789 / i;
    whole.push_back("logging = " + std::to_string(value) + "\n");
    std::fflush(nullptr);
    const pid_t saver = ::fork();
    if (saver == 0) {
      ::close(start[1]);
      char go;
      if (::read(start[0], &go, 1) < 0) ::_exit(1);  // the parent's close says go
      int failed = 0;
      for (int save = 0; save < saves; ++save) failed += !saved(writeLogging(kPath, value));
      ::_exit(std::min(failed, 100));
    }
    savers.push_back(saver);
  }
  ::close(start[0]);
  ::close(start[1]);
  std::size_t looks = 0;
  std::size_t torn = 0;
  std::string firstTorn;
  for (std::size_t running = savers.size(); running > 0;) {
    const std::string content = readFile("inis/Hushlink.ini");
    ++looks;
    if (std::find(whole.begin(), whole.end(), content) == whole.end()) {
      if (torn++ == 0) firstTorn = content;
    }
    running = 0;
    for (const pid_t saver : savers) running += stillRunning(saver);
  }
  int failedSaves = 0;
  for (const pid_t saver : savers) {
    int status = 0;
    ::waitpid(saver, &status, 0);
    failedSaves += WIFEXITED(status) ? WEXITSTATUS(status) : 1000;
  }
  RecordProperty("looks", static_cast<int>(looks));
  EXPECT_EQ(torn, 0u) << "of " << looks << " looks; the first found \"" << firstTorn << "\"";
  EXPECT_EQ(failedSaves, 0);
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
}

// Whether a saver has marked the folder while it waits for its turn.
bool aSaverWaitsIn(const char* folder) {
  const int descriptor = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_len = 1;
  const bool waits = ::fcntl(descriptor, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(descriptor);
  return waits;
}

// A host stopped while it waits for its turn (a debugger, a shell's ^Z)
// holds up no other saver once the turn is free, and finishes its own save
// when it goes on.
TEST(SettingsSaversInProcesses, AHostStoppedWhileWaitingHoldsNobodyUp) {
  TempWorkingDirectory directory(TempWorkingDirectory::kInis, memoryBackedTempFolder());
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  const int turn = ::open("inis", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(turn, LOCK_EX), 0);  // as a saver holds it
  std::fflush(nullptr);
  const pid_t waiter = ::fork();
  if (waiter == 0) {
    ::close(turn);  // the turn stays the parent's alone
    ::_exit(saved(writeLogging(kPath, 2)) ? 0 : 1);
  }
  for (int look = 0; look < 10'000 && !aSaverWaitsIn("inis"); ++look) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  int status = 0;
  const bool waiting = aSaverWaitsIn("inis");
  if (waiting) {
    ::kill(waiter, SIGSTOP);
    ::waitpid(waiter, &status, WUNTRACED);  // stopped for sure, not on its way
  }
  if (!waiting || !WIFSTOPPED(status)) {
    ::kill(waiter, SIGKILL);
    ::waitpid(waiter, nullptr, 0);
    ::close(turn);
    FAIL() << "the saver did not wait for its turn, or could not be stopped while it did";
  }
  ::close(turn);
  EXPECT_EQ(writeLogging(kPath, 3), SaveOutcome::Replaced);
  EXPECT_EQ(readFile("inis/Hushlink.ini"), "logging = 3\n");
  // Gone on, it sees that a save landed while it was stopped, and waits on.
  ::kill(waiter, SIGCONT);
  ::waitpid(waiter, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "its save failed";
  EXPECT_EQ(readFile("inis/Hushlink.ini"), "logging = 2\n");
  EXPECT_EQ(folderEntries("inis"), std::vector<std::string>{"Hushlink.ini"});
}

}  // namespace
}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
// What only Windows can show: Hushlink.dll's exports by number in a real
// loader, its message boxes as Windows draws them (owner, caption, the
// Chinese text under any code page), the harness with paths no 8-bit code
// page can name, and the plugin in a host in a bad state.
//
//   windows-test [GOOGLETEST OPTIONS]
//   windows-test shared-session first|second    (a child of TwoSessionsInOneFolder)
//   windows-test crash-after-logging            (a child of ConsoleLinesBeforeACrash)
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/hushlink.h"
#include "tests/expected.h"
#include "tests/support/test_support.h"
#include "tests/support/windows_support.h"

namespace hushlink::testing {
namespace {

namespace fs = std::filesystem;

const std::string kStartLines = lines({"Hushlink plugin version 0,6", "Initializing Hushlink"});

// ---- exports ----

std::uint16_t machineOf(const char* path) {
  const std::string image = readFile(path);
  if (image.size() < 0x40) return 0;
  std::uint32_t peOffset;
  std::memcpy(&peOffset, image.data() + 0x3C, 4);
  if (peOffset + 6 > image.size() || image.compare(peOffset, 4, std::string("PE\0\0", 4)) != 0) {
    return 0;
  }
  std::uint16_t machine;
  std::memcpy(&machine, image.data() + peOffset + 4, 2);
  return machine;
}

struct Export {
  const char* name;
  int number;
  friend void PrintTo(const Export& e, std::ostream* os) { *os << e.name; }
};

#define HUSHLINK_EXPORT_ENTRY(name, number, bytes) Export{#name, number},
constexpr Export kExports[] = {HUSHLINK_EXPECTED_ENTRY_POINTS(HUSHLINK_EXPORT_ENTRY)};
#undef HUSHLINK_EXPORT_ENTRY

class ExportTest : public ::testing::TestWithParam<Export> {
 protected:
  HMODULE module_ = LoadLibraryA(HUSHLINK_MODULE);
  ~ExportTest() override { FreeLibrary(module_); }
};

// The host finds each entry point by its plain name and at its number.
TEST_P(ExportTest, EachEntryPointIsAtItsNumberUnderItsPlainName) {
  ASSERT_NE(module_, nullptr);
  const FARPROC byName = GetProcAddress(module_, GetParam().name);
  EXPECT_NE(byName, nullptr);
  EXPECT_EQ(GetProcAddress(module_, MAKEINTRESOURCEA(GetParam().number)), byName);
}

INSTANTIATE_TEST_SUITE_P(EntryPoints, ExportTest, ::testing::ValuesIn(kExports),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Exports, TheUnusedNumbersAndTheDecoratedNamesAreEmpty) {
  const HMODULE module = LoadLibraryA(HUSHLINK_MODULE);
  ASSERT_NE(module, nullptr);
  for (const int number : {1, HUSHLINK_EXPECTED_EMPTY_EXPORT_NUMBERS, 20}) {
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(number)), nullptr) << number;
  }
  for (const char* decorated : {"FWinit@0", "_FWinit@0", "_FWinit", "FWwrite32@8"}) {
    EXPECT_EQ(GetProcAddress(module, decorated), nullptr) << decorated;
  }
  FreeLibrary(module);
  const std::uint16_t expected = sizeof(void*) == 4 ? 0x014C : 0x8664;  // i386 : AMD64
  EXPECT_EQ(machineOf(HUSHLINK_MODULE), expected);
}

// ---- message boxes as Windows shows them ----

constexpr const wchar_t* kAboutWide = L"Hushlink\uFF1A\u7EAF\u7CB9\u7684\u7A7A\u63D2\u4EF6\u3002";
constexpr const char* kAboutGbk =
    "Hushlink\xA3\xBA\xB4\xBF\xB4\xE2\xB5\xC4\xBF\xD5\xB2\xE5\xBC\xFE\xA1\xA3";

class MessageBoxTest : public ::testing::Test {
 protected:
  TempWorkingDirectory directory;
  LoadedModule plugin;
};

// The About text reads as Chinese whatever the system's 8-bit code page; on
// a Chinese system the 8-bit call gives back the very bytes stored.
TEST_F(MessageBoxTest, AboutReadsAsChineseUnderThisCodePage) {
  const BoxWatch watch;
  plugin.FWabout();
  ASSERT_EQ(watch.boxes().size(), 1u);
  EXPECT_EQ(watch.boxes()[0].caption, expected::kCaption);
  EXPECT_TRUE(watch.boxes()[0].wideText == kAboutWide) << "under code page " << GetACP();
  if (GetACP() == 936) {
    EXPECT_EQ(watch.boxes()[0].ansiText, kAboutGbk);
  }
}

TEST_F(MessageBoxTest, TheBoxIsOwnedByTheHostsActiveWindow) {
  const HWND host = CreateWindowExA(0, "STATIC", "host window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                    0, 200, 100, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(host, nullptr);
  SetActiveWindow(host);
  const BoxWatch watch;
  plugin.FWabout();
  DestroyWindow(host);
  ASSERT_EQ(watch.boxes().size(), 1u);
  EXPECT_EQ(watch.boxes()[0].owner, host);
}

// The same, on a system whose 8-bit code page is Chinese (run with
// LC_ALL=zh_CN.GBK under Wine).
TEST(ChineseCodePage, AboutGivesBackTheStoredBytes) {
  if (GetACP() != 936) {
    GTEST_SKIP() << "this system's code page is " << GetACP()
                 << ", not 936: Wine found no zh_CN.GBK locale here";
  }
  TempWorkingDirectory directory;
  LoadedModule plugin;
  const BoxWatch watch;
  plugin.FWabout();
  ASSERT_EQ(watch.boxes().size(), 1u);
  EXPECT_EQ(watch.boxes()[0].ansiText, kAboutGbk);
  EXPECT_TRUE(watch.boxes()[0].wideText == kAboutWide);
}

// ---- a host in a bad state ----

// The memory the process has committed for itself.
std::size_t privateKilobytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage / 1024;
}

// A host that unloads the module without FWshutdown, 300 times: the files
// and the memory it holds stay flat (270 stores kept would be 17 MiB), and
// the log can still be opened.
TEST(BadHost, UnloadingWithoutShutdownReleasesTheLogAndTheStore) {
  TempWorkingDirectory directory;
  directory.writeSettings("logging = 1\n");
  CapturedOutput out(1);
  const auto round = [] {
    const HMODULE handle = LoadLibraryA(HUSHLINK_MODULE);
    if (handle == nullptr) return false;
    const auto init =
        reinterpret_cast<FWinitFn>(reinterpret_cast<void*>(GetProcAddress(handle, "FWinit")));
    const auto write32 =
        reinterpret_cast<FWwrite32Fn>(reinterpret_cast<void*>(GetProcAddress(handle, "FWwrite32")));
    const bool initialised = init() == 0;
    write32(0x100, 1);
    FreeLibrary(handle);
    return initialised;
  };
  for (int i = 0; i < 30; ++i) round();
  const std::size_t files = openFileCount();
  const std::size_t committed = privateKilobytes();
  bool everyInit = true;
  for (int i = 30; i < 300; ++i) everyInit &= round();
  EXPECT_TRUE(everyInit);
  EXPECT_EQ(openFileCount(), files);
  EXPECT_LT(privateKilobytes(), committed + 1024) << "from " << committed << " KiB";
  EXPECT_EQ(directory.log(), kStartLines + lines({"FW write mem 0x100: 0x1"}))
      << "the last round's log, and nothing written at unload";
}

// One session of two that share a folder, run as a child process: FWinit
// (first, or after the other's signal), 2000 logged writes at `base`, with a
// signal to the other after 200.
int runSharedSession(std::uint32_t base, bool initFirst) {
  const HANDLE firstReady = CreateEventW(nullptr, TRUE, FALSE, L"hushlink-first-ready");
  const HANDLE secondReady = CreateEventW(nullptr, TRUE, FALSE, L"hushlink-second-ready");
  LoadedModule plugin;
  if (!initFirst) WaitForSingleObject(firstReady, INFINITE);
  if (plugin.FWinit() != 0) return 2;
  for (std::uint32_t i = 0; i < 2000; ++i) {
    if (i == 200) {
      SetEvent(initFirst ? firstReady : secondReady);
      if (initFirst) WaitForSingleObject(secondReady, INFINITE);
    }
    plugin.FWwrite32(base + i, i);
  }
  plugin.FWshutdown();
  return 0;
}

// Two sessions overlap in one folder: the second FWinit empties the log while
// the first goes on writing. Every line stays whole, no NUL bytes appear, and
// every line of the second session is there.
TEST(BadHost, TwoSessionsInOneFolderKeepEveryLineWhole) {
  TempWorkingDirectory directory;
  directory.writeSettings("logging = 1\n");
  std::vector<HANDLE> children;
  for (const wchar_t* role : {L"first", L"second"}) {
    children.push_back(
        startProcess(quotedArgument(ownPath()) + L" shared-session " + role, nullptr, L"NUL"));
  }
  for (const HANDLE child : children) EXPECT_EQ(exitCodeOf(child), 0u);
  const std::string log = directory.log();
  EXPECT_EQ(log.find('\0'), std::string::npos) << "NUL bytes in the log";
  std::istringstream logged(log);
  std::size_t fromSecond = 0;
  std::string last;
  for (std::string line; std::getline(logged, line);) {
    const bool whole =
        !line.empty() && line.back() == '\r' &&
        (line == "Hushlink plugin version 0,6\r" || line == "Initializing Hushlink\r" ||
         line.rfind("FW write mem 0xa0", 0) == 0 || line.rfind("FW write mem 0xb0", 0) == 0);
    EXPECT_TRUE(whole) << "a torn line: " << line;
    if (line.rfind("FW write mem 0xb0", 0) == 0) {
      ++fromSecond;
      last = line;
    }
  }
  EXPECT_EQ(fromSecond, 2000u);
  EXPECT_EQ(last, "FW write mem 0xb07cf: 0x7cf\r");
}

int crashAfterLogging() {
  LoadedModule plugin;
  plugin.FWinit();
  plugin.FWopen(nullptr);
  TerminateProcess(GetCurrentProcess(), 3);
  return 0;
}

// A logged session in a child whose process then dies without exiting: each
// line reached standard output when it was logged.
TEST(BadHost, ConsoleLinesReachTheOutputBeforeACrash) {
  TempWorkingDirectory directory;
  directory.writeSettings("logging = 1\n");
  exitCodeOf(
      startProcess(quotedArgument(ownPath()) + L" crash-after-logging", nullptr, L"stdout.txt"));
  EXPECT_EQ(readFile("stdout.txt"), kStartLines + lines({"Opening Hushlink."}));
}

// ---- the harness, with paths no 8-bit code page can name ----

// An environment variable set for the object's lifetime, in the wide
// environment that child processes inherit.
class WideVariable {
 public:
  WideVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t old[32768];
    const DWORD size = GetEnvironmentVariableW(name, old, 32768);
    if (size > 0 && size < 32768) old_ = std::wstring(old, size);
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~WideVariable() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }
  WideVariable(const WideVariable&) = delete;
  WideVariable& operator=(const WideVariable&) = delete;

 private:
  const wchar_t* name_;
  std::optional<std::wstring> old_;
};

struct HarnessResult {
  DWORD exitCode;
  std::string out;
  std::string err;
};

class HarnessPathsTest : public ::testing::Test {
 protected:
  HarnessPathsTest() {
    const std::wstring base = fs::current_path().wstring();
    plugins_ = base + L"\\\u63D2\u4EF6 \u00DC";  // 插件 Ü
    work_ = base + L"\\\u5DE5\u4F5C \u00FC";     // 工作 ü
    temp_ = base + L"\\\u4E34\u65F6 \u00E9";     // 临时 é
    for (const std::wstring& folder :
         {plugins_, work_, work_ + L"\\inis", work_ + L"\\logs", temp_}) {
      CreateDirectoryW(folder.c_str(), nullptr);
    }
    dll_ = plugins_ + L"\\Hushlink.dll";
    CopyFileW(widened(HUSHLINK_MODULE).c_str(), dll_.c_str(), FALSE);
    std::ofstream(fs::path(work_ + L"\\inis\\Hushlink.ini"), std::ios::binary) << "logging = 1\n";
    wchar_t harness[MAX_PATH];
    GetFullPathNameW(widened(HUSHLINK_HOST).c_str(), MAX_PATH, harness, nullptr);
    harness_ = harness;
  }

  // Runs hushlink-host with `arguments` in the working folder, its TEMP set
  // to the temporary one.
  HarnessResult harness(const std::wstring& arguments) {
    const WideVariable temp(L"TEMP", temp_);
    const WideVariable tmp(L"TMP", temp_);
    const std::wstring out = fs::current_path().wstring() + L"\\harness-out.txt";
    const std::wstring err = fs::current_path().wstring() + L"\\harness-err.txt";
    const DWORD code = exitCodeOf(startProcess(quotedArgument(harness_) + L" " + arguments,
                                               work_.c_str(), out.c_str(), err.c_str()));
    return {code, readFile(out), readFile(err)};
  }

  TempWorkingDirectory directory{TempWorkingDirectory::kEmpty};
  std::wstring plugins_;
  std::wstring work_;
  std::wstring temp_;
  std::wstring dll_;
  std::wstring harness_;
};

TEST_F(HarnessPathsTest, EveryCommandWorksWithNonAsciiModuleWorkingAndTemporaryFolders) {
  const std::wstring dll = quotedArgument(dll_);
  HarnessResult result = harness(L"info " + dll);
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_NE(result.out.find("name:     Hushlink Driver"), std::string::npos) << result.out;

  result = harness(L"run " + dll);
  EXPECT_EQ(result.exitCode, 0u) << result.err;
  EXPECT_EQ(readFile(fs::path(work_ + L"\\logs\\Hushlink.log")).rfind(kStartLines, 0), 0u)
      << "run logs in the working folder";

  result = harness(L"replay " + dll + L" logs\\Hushlink.log");
  EXPECT_EQ(result.exitCode, 0u) << result.err;

  result = harness(L"check " + dll);
  EXPECT_EQ(result.exitCode, 0u) << result.out;
  EXPECT_NE(result.out.find("10 checks: 10 passed, 0 failed"), std::string::npos) << result.out;
  WIN32_FIND_DATAW found;
  const HANDLE left = FindFirstFileW((temp_ + L"\\hushlink-*").c_str(), &found);
  EXPECT_EQ(left, INVALID_HANDLE_VALUE) << "check cleans up its scratch folders";
  if (left != INVALID_HANDLE_VALUE) FindClose(left);
}

// The start of a PE image built for the other bitness than this program.
std::string otherBitnessImage() {
  std::string image(1024, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;
  image.replace(0x40, 4, std::string("PE\0\0", 4));
  const bool wide = sizeof(void*) == 4;  // we are 32-bit: make it 64-bit
  const std::uint16_t machine = wide ? 0x8664 : 0x014C;
  const std::uint16_t magic = wide ? 0x20B : 0x10B;
  std::memcpy(&image[0x44], &machine, 2);
  std::memcpy(&image[0x40 + 24], &magic, 2);
  return image;
}

TEST_F(HarnessPathsTest, AModuleOfTheOtherBitnessIsNamedAsSuch) {
  const std::wstring other = plugins_ + L"\\other";
  CreateDirectoryW(other.c_str(), nullptr);
  std::ofstream(fs::path(other + L"\\Hushlink.dll"), std::ios::binary) << otherBitnessImage();
  const HarnessResult result = harness(L"info " + quotedArgument(other + L"\\Hushlink.dll"));
  EXPECT_EQ(result.exitCode, 1u);
  const std::string expected =
      sizeof(void*) == 4
          ? "Hushlink.dll is a 64-bit module; this hushlink-host is 32-bit: use the 32-bit "
            "Hushlink.dll, or the 64-bit hushlink-host.exe\r\n"
          : "Hushlink.dll is a 32-bit module; this hushlink-host is 64-bit: use the 64-bit "
            "Hushlink.dll, or the 32-bit hushlink-host.exe\r\n";
  ASSERT_GE(result.err.size(), expected.size()) << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - expected.size()), expected);
}

}  // namespace
}  // namespace hushlink::testing

int main(int argc, char** argv) {
  using namespace hushlink::testing;
  if (argc == 3 && std::strcmp(argv[1], "shared-session") == 0) {
    const bool first = std::strcmp(argv[2], "first") == 0;
    return runSharedSession(first ? 0xA0000 : 0xB0000, first);
  }
  if (argc == 2 && std::strcmp(argv[1], "crash-after-logging") == 0) return crashAfterLogging();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

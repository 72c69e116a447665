// SPDX-License-Identifier: GPL-2.0-or-later
// Hushlink.dll in a real Windows loader: loaded with LoadLibrary, its exports
// resolved by name and by number, its message boxes caught as they open.
//
//   windows-test GROUP PATH-TO-Hushlink.dll
//
// Each check runs in a fresh folder under the current directory. Prints one
// line per failed expectation and a closing "N passed, N failed".
#include <direct.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "plugin/hushlink.h"
#include "plugin/register_store.h"

namespace {

int passed = 0;
int failed = 0;
std::string currentCheck;

void expect(bool condition, const std::string& what) {
  if (condition) {
    ++passed;
  } else {
    ++failed;
    std::fprintf(stderr, "FAIL [%s] %s\n", currentCheck.c_str(), what.c_str());
  }
}

std::string shownBytes(const std::string& bytes) {
  std::string out = "\"";
  for (const unsigned char c : bytes) {
    char escaped[8];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out + "\"";
}

template <typename T>
void expectEqual(const T& actual, const T& expected, const std::string& what) {
  std::ostringstream detail;
  detail << what << ": expected " << expected << ", got " << actual;
  expect(actual == expected, detail.str());
}

void expectBytes(const std::string& actual, const std::string& expected, const std::string& what) {
  expect(actual == expected,
         what + ": expected " + shownBytes(expected) + ", got " + shownBytes(actual));
}

std::string readFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "<missing>";
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void writeFile(const char* path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
}

// The names in a folder, sorted, joined by spaces.
std::string folderEntries(const char* folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((std::string(folder) + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = found.cFileName;
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  std::sort(names.begin(), names.end());
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

// A fresh folder made current for one check, with "inis" and "logs" if asked.
int folderCount = 0;
void freshFolder(bool inis = true, bool logs = true) {
  static char base[MAX_PATH];
  if (base[0] == '\0') GetCurrentDirectoryA(sizeof base, base);
  SetCurrentDirectoryA(base);
  const std::string name = "check" + std::to_string(++folderCount);
  CreateDirectoryA(name.c_str(), nullptr);
  SetCurrentDirectoryA(name.c_str());
  if (inis) CreateDirectoryA("inis", nullptr);
  if (logs) CreateDirectoryA("logs", nullptr);
}

// ---- message boxes, caught by a hook on this thread ----

struct Box {
  std::string caption;
  std::string text;       // the 8-bit text as the box holds it
  std::wstring wideText;  // what the user sees
  HWND owner;
};
std::vector<Box> boxes;
bool boxDismissed = false;

BOOL CALLBACK findText(HWND child, LPARAM found) {
  char className[32];
  GetClassNameA(child, className, sizeof className);
  if (lstrcmpiA(className, "Static") == 0 && GetWindowTextLengthA(child) > 0) {
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
  }
  return TRUE;
}

LRESULT CALLBACK watchBoxes(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE) {
    const HWND window = reinterpret_cast<HWND>(wParam);
    char className[32];
    GetClassNameA(window, className, sizeof className);
    if (std::strcmp(className, "#32770") == 0) {
      Box box{};
      char caption[256] = {};
      GetWindowTextA(window, caption, sizeof caption);
      box.caption = caption;
      HWND textControl = nullptr;
      EnumChildWindows(window, findText, reinterpret_cast<LPARAM>(&textControl));
      if (textControl != nullptr) {
        char text[1024] = {};
        GetWindowTextA(textControl, text, sizeof text);
        box.text = text;
        wchar_t wide[1024] = {};
        GetWindowTextW(textControl, wide, 1024);
        box.wideText = wide;
      }
      box.owner = GetWindow(window, GW_OWNER);
      boxes.push_back(box);
      // The user presses OK.
      PostMessageA(window, WM_COMMAND, IDOK, 0);
      boxDismissed = true;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Runs `call` with the hook in place; returns the boxes it showed, and checks
// that the call came back only after its box was dismissed.
std::vector<Box> boxesShownBy(const std::function<void()>& call) {
  boxes.clear();
  boxDismissed = false;
  const HHOOK hook = SetWindowsHookExA(WH_CBT, watchBoxes, nullptr, GetCurrentThreadId());
  call();
  UnhookWindowsHookEx(hook);
  if (!boxes.empty()) expect(boxDismissed, "the call returned before its box was dismissed");
  return boxes;
}

// Runs `call` with every dialog box it would open refused as it is created:
// for checks that are about files, not boxes (a shown box costs Wine a
// second or so).
LRESULT CALLBACK refuseBoxes(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND) {
    char className[32];
    GetClassNameA(reinterpret_cast<HWND>(wParam), className, sizeof className);
    if (std::strcmp(className, "#32770") == 0) return 1;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

void withoutBoxes(const std::function<void()>& call) {
  const HHOOK hook = SetWindowsHookExA(WH_CBT, refuseBoxes, nullptr, GetCurrentThreadId());
  call();
  UnhookWindowsHookEx(hook);
}

// ---- the module ----

struct Module {
  HMODULE handle = nullptr;
  // One member per entry point, named after it: m.FWinit().
#define HUSHLINK_ENTRY_POINT_MEMBER(name, number, type) type name;
  HUSHLINK_ENTRY_POINTS(HUSHLINK_ENTRY_POINT_MEMBER)
#undef HUSHLINK_ENTRY_POINT_MEMBER

  template <typename Fn>
  void resolve(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
    if (fn == nullptr) {
      std::fprintf(stderr, "missing entry point %s\n", name);
      std::exit(1);
    }
  }

  explicit Module(const char* path) {
    handle = LoadLibraryA(path);
    if (handle == nullptr) {
      std::fprintf(stderr, "cannot load %s: error %lu\n", path, GetLastError());
      std::exit(1);
    }
#define HUSHLINK_RESOLVE(name, number, type) resolve(name, #name);
    HUSHLINK_ENTRY_POINTS(HUSHLINK_RESOLVE)
#undef HUSHLINK_RESOLVE
  }
};

const char* kSixLines =
    "Hushlink plugin version 0,6\r\n"
    "Initializing Hushlink\r\n"
    "Opening Hushlink.\r\n"
    "FW read mem 0x1f808410: 0x8\r\n"
    "FW write mem 0x1f808410: 0x1\r\n"
    "Closing Hushlink.\r\n";

const char* kAboutGbk = "Hushlink\xA3\xBA\xB4\xBF\xB4\xE2\xB5\xC4\xBF\xD5\xB2\xE5\xBC\xFE\xA1\xA3";

// ---- groups ----

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

void checkExports(const char* path, Module& module) {
  currentCheck = "exports";
#define HUSHLINK_EXPORT_ENTRY(name, number, type) {#name, number},
  const std::pair<const char*, int> exports[] = {HUSHLINK_ENTRY_POINTS(HUSHLINK_EXPORT_ENTRY)};
#undef HUSHLINK_EXPORT_ENTRY
  for (const auto& [name, number] : exports) {
    const FARPROC byName = GetProcAddress(module.handle, name);
    const FARPROC byNumber = GetProcAddress(module.handle, MAKEINTRESOURCEA(number));
    expect(byName != nullptr, std::string(name) + " resolves by name");
    expect(byName == byNumber,
           std::string(name) + " has the same address at number " + std::to_string(number));
  }
  for (const int number : {1, 9, 10, 12, 13, 16, 20}) {
    expect(GetProcAddress(module.handle, MAKEINTRESOURCEA(number)) == nullptr,
           "export number " + std::to_string(number) + " is empty");
  }
  for (const char* decorated : {"FWinit@0", "_FWinit@0", "_FWinit", "FWwrite32@8"}) {
    expect(GetProcAddress(module.handle, decorated) == nullptr,
           std::string("no decorated export ") + decorated);
  }
  const std::uint16_t expected = sizeof(void*) == 4 ? 0x014C : 0x8664;  // i386 : AMD64
  expectEqual<int>(machineOf(path), expected, "machine type");
}

void checkStore(Module& m) {
  currentCheck = "identification";
  expectEqual<std::uint32_t>(m.PS2EgetLibType(), 0x40, "library type");
  expectBytes(m.PS2EgetLibName(), "Hushlink Driver", "library name");
  for (const std::uint32_t argument : {0u, 0x40u, 0xFFFFFFFFu}) {
    expectEqual<std::uint32_t>(m.PS2EgetLibVersion2(argument), 0x00020006, "version word");
  }
  expectEqual(m.FWtest(), 0, "self-test");
  expectEqual(m.FWopen(nullptr), 0, "FWopen");

  currentCheck = "store";
  freshFolder();
  expectEqual(m.FWinit(), 0, "FWinit");
  bool allZero = true;
  for (std::uint32_t offset = 0; offset <= 0xFFFF; ++offset) {
    const std::uint32_t address = 0x1F800000 | offset;
    allZero &= m.FWread32(address) == (address == 0x1F808410 ? 8u : 0u);
  }
  expect(allZero, "a fresh store reads zero everywhere but the fixed register");
  m.FWwrite32(0x1F808410, 0xCAFEF00D);
  expectEqual<std::uint32_t>(m.FWread32(0x1F808410), 8, "fixed register after a write");
  expectEqual<std::uint32_t>(m.FWread32(0x00008410), 0xCAFEF00D, "alias of the fixed register");
  expectEqual<std::uint32_t>(m.FWread32(0xFFFF8410), 0xCAFEF00D, "high alias");
  m.FWwrite32(0x1F800000, 0x11223344);
  expectEqual<std::uint32_t>(m.FWread32(0x1F800001), 0x00112233, "overlapping word");
  m.FWwrite32(0xFFFC, 0);
  m.FWwrite32(0xFFFE, 0x44332211);
  expectEqual<std::uint32_t>(m.FWread32(0xFFFE), 0x2211, "word at the end of the store");
  expectEqual<std::uint32_t>(m.FWread32(0xFFFC), 0x22110000, "bytes past the end dropped");

  currentCheck = "lifecycle";
  m.FWshutdown();
  m.FWshutdown();
  expectEqual<std::uint32_t>(m.FWread32(0x1000), 0, "read without a store");
  expectEqual<std::uint32_t>(m.FWread32(0x1F808410), 8, "fixed register without a store");
  m.FWwrite32(0x1000, 5);
  expectEqual(m.FWinit(), 0, "FWinit again");
  expectEqual<std::uint32_t>(m.FWread32(0x1F800000), 0, "a new init zeroes the store");
  expectEqual<std::uint32_t>(m.FWread32(0x1000), 0, "a write without a store went nowhere");
  expectEqual(m.FWinit(), 0, "FWinit twice in a row");
  m.FWshutdown();
}

// The six-line session of the log's example, with standard output sent to a
// file at the C runtime's level, which the module shares with this program.
std::string runExampleSession(Module& m) {
  std::fflush(stdout);
  const int saved = _dup(1);
  FILE* capture = std::fopen("stdout.txt", "w");
  _dup2(_fileno(capture), 1);
  expectEqual(m.FWinit(), 0, "FWinit");
  m.FWopen(nullptr);
  expectEqual<std::uint32_t>(m.FWread32(0x1F808410), 8, "fixed register");
  m.FWwrite32(0x1F808410, 1);
  m.FWclose();
  m.FWshutdown();
  std::fflush(stdout);
  _dup2(saved, 1);
  _close(saved);
  std::fclose(capture);
  return readFile("stdout.txt");
}

void checkLog(Module& m) {
  currentCheck = "log on";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  expectBytes(runExampleSession(m), kSixLines, "standard output");
  expectBytes(readFile("logs/Hushlink.log"), kSixLines, "log file");

  currentCheck = "log off";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging = 0\r\n");
  expectBytes(runExampleSession(m), "", "standard output");
  expectBytes(readFile("logs/Hushlink.log"), "", "log file");

  currentCheck = "log truncated";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging = 1\r\n");
  runExampleSession(m);
  m.FWinit();
  m.FWshutdown();
  expectBytes(readFile("logs/Hushlink.log"),
              "Hushlink plugin version 0,6\r\nInitializing Hushlink\r\n", "log after a new init");
}

void checkSettings(Module& m) {
  currentCheck = "settings created";
  freshFolder();
  expectEqual(m.FWinit(), 0, "FWinit");
  m.FWshutdown();
  expectBytes(readFile("inis/Hushlink.ini"), "logging = 0\r\n", "settings file");

  currentCheck = "settings edited";
  writeFile("inis/Hushlink.ini", "logging=3 set by hand\r\nsecond line\r\n");
  expectEqual(m.FWinit(), 0, "FWinit");
  m.FWread32(0x10);  // logged: the value read is 3
  const auto shown = boxesShownBy([&] { m.FWconfigure(); });
  m.FWshutdown();
  expectEqual<std::size_t>(shown.size(), 1, "boxes shown by FWconfigure");
  expectBytes(readFile("inis/Hushlink.ini"), "logging = 3\r\n", "settings file after FWconfigure");
  expectBytes(readFile("logs/Hushlink.log"),
              "Hushlink plugin version 0,6\r\nInitializing Hushlink\r\nFW read mem 0x10: 0x0\r\n",
              "log");

  currentCheck = "read-only settings file";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging=1 # read-only\r\n");
  SetFileAttributesA("inis/Hushlink.ini", FILE_ATTRIBUTE_READONLY);
  expectEqual(m.FWinit(), 0, "FWinit");
  boxesShownBy([&] { m.FWconfigure(); });
  m.FWshutdown();
  expectBytes(readFile("inis/Hushlink.ini"), "logging=1 # read-only\r\n", "settings file kept");
  expectBytes(readFile("logs/Hushlink.log"),
              "Hushlink plugin version 0,6\r\nInitializing Hushlink\r\n"
              "Failed to open inis//Hushlink.ini\r\n\r\n",
              "log");
  expectBytes(folderEntries("inis"), "Hushlink.ini", "nothing left beside it");
  SetFileAttributesA("inis/Hushlink.ini", FILE_ATTRIBUTE_NORMAL);

  currentCheck = "settings failures logged";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  expectEqual(m.FWinit(), 0, "FWinit");
  DeleteFileA("inis/Hushlink.ini");
  RemoveDirectoryA("inis");
  boxesShownBy([&] { m.FWconfigure(); });
  m.FWshutdown();
  expectBytes(readFile("logs/Hushlink.log"),
              "Hushlink plugin version 0,6\r\nInitializing Hushlink\r\n"
              "Failed to open inis//Hushlink.ini\r\n"
              "Failed to open inis//Hushlink.ini\r\n\r\n"
              "Failed to open inis//Hushlink.ini\r\n\r\n",
              "log");
}

// The situations a settings file can be in on Windows, each in a fresh
// folder: Configure saves where a plain rewrite would, keeps what the file
// carries and leaves nothing beside it.
void checkSettingsFiles(Module& m) {
  struct Situation {
    const char* name;
    const char* content;  // null: no file
    std::size_t size;
    DWORD attributes;     // set on the file before the save
    const char* after;    // the file afterwards
    const char* entries;  // the folder afterwards
  };
  const std::string utf16 = std::string(
      "\xFF\xFEl\0o\0g\0g\0i\0n\0g\0=\0"
      "3\0\r\0\n\0",
      24);
  const Situation situations[] = {
      {"regular file", "logging=5\r\n", 11, 0, "logging = 5\r\n", "Hushlink.ini"},
      // Written with the value in memory: the one read just before.
      {"no file yet", nullptr, 0, 0, "logging = 5\r\n", "Hushlink.ini"},
      {"read-only attribute", "logging=2 # mine\r\n", 18, FILE_ATTRIBUTE_READONLY,
       "logging=2 # mine\r\n", "Hushlink.ini"},
      {"hidden and archive attributes kept", "logging=4\r\n", 11,
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, "logging = 4\r\n", "Hushlink.ini"},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBFlogging = 1\r\n", 16, 0, "logging = 1\r\n",
       "Hushlink.ini"},
      {"UTF-16 with its mark", utf16.data(), utf16.size(), 0, "logging = 3\r\n", "Hushlink.ini"},
  };
  for (const Situation& c : situations) {
    currentCheck = std::string("settings file: ") + c.name;
    freshFolder();
    if (c.content != nullptr) writeFile("inis/Hushlink.ini", std::string(c.content, c.size));
    if (c.attributes != 0) SetFileAttributesA("inis/Hushlink.ini", c.attributes);
    const DWORD before = GetFileAttributesA("inis/Hushlink.ini");
    withoutBoxes([&] { m.FWconfigure(); });
    const DWORD attributes = GetFileAttributesA("inis/Hushlink.ini");
    SetFileAttributesA("inis/Hushlink.ini", FILE_ATTRIBUTE_NORMAL);
    expectBytes(readFile("inis/Hushlink.ini"), c.after, "the file");
    expectBytes(folderEntries("inis"), c.entries, "the folder");
    if (c.attributes != 0) expectEqual<unsigned long>(attributes, before, "attributes");
  }

  currentCheck = "settings file: a second name";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging=8\r\n");
  CreateDirectoryA("backup", nullptr);
  expect(CreateHardLinkA("backup/Hushlink.ini", "inis/Hushlink.ini", nullptr) != 0,
         "the second name made");
  withoutBoxes([&] { m.FWconfigure(); });
  expectBytes(readFile("backup/Hushlink.ini"), "logging = 8\r\n", "the file under its other name");
  expectBytes(folderEntries("inis"), "Hushlink.ini", "the folder");

  currentCheck = "settings file: path is a folder";
  freshFolder();
  CreateDirectoryA("inis/Hushlink.ini", nullptr);
  withoutBoxes([&] { m.FWconfigure(); });
  expect((GetFileAttributesA("inis/Hushlink.ini") & FILE_ATTRIBUTE_DIRECTORY) != 0,
         "the folder stays a folder");
  expectBytes(folderEntries("inis"), "Hushlink.ini", "the folder");

  currentCheck = "settings file: no settings folder";
  freshFolder(false, true);
  withoutBoxes([&] { m.FWconfigure(); });
  expectBytes(folderEntries("."), "logs", "the working folder");
}

HWND makeActiveWindow() {
  const HWND window = CreateWindowExA(0, "STATIC", "host window", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      0, 0, 200, 100, nullptr, nullptr, nullptr, nullptr);
  SetActiveWindow(window);
  return window;
}

void checkMessages(Module& m) {
  currentCheck = "about";
  freshFolder();
  auto shown = boxesShownBy([&] { m.FWabout(); });
  expectEqual<std::size_t>(shown.size(), 1, "boxes shown by FWabout");
  if (shown.size() == 1) {
    expectBytes(shown[0].caption, "Message", "caption");
    // The user sees Chinese whatever the system's code page is.
    expect(shown[0].wideText == L"Hushlink\uFF1A\u7EAF\u7CB9\u7684\u7A7A\u63D2\u4EF6\u3002",
           "the About text reads as Chinese under code page " + std::to_string(GetACP()));
    if (GetACP() == 936) expectBytes(shown[0].text, kAboutGbk, "text bytes under code page 936");
  }

  currentCheck = "owner";
  const HWND host = makeActiveWindow();
  shown = boxesShownBy([&] { m.FWabout(); });
  expect(shown.size() == 1 && shown[0].owner == host && host != nullptr,
         "the box is owned by the active window");
  DestroyWindow(host);

  currentCheck = "configure";
  shown = boxesShownBy([&] { m.FWconfigure(); });
  expectEqual<std::size_t>(shown.size(), 1, "boxes shown by FWconfigure");
  if (shown.size() == 1) {
    expectBytes(shown[0].caption, "Message", "caption");
    expectBytes(shown[0].text, "This space intentionally left blank.", "text");
    expect(shown[0].wideText == L"This space intentionally left blank.", "the wide text");
  }
  expectBytes(readFile("inis/Hushlink.ini"), "logging = 0\r\n", "settings written");

  currentCheck = "quiet entry points";
  shown = boxesShownBy([&] {
    m.FWinit();
    m.FWopen(nullptr);
    m.FWread32(0);
    m.FWclose();
    m.FWshutdown();
  });
  expectEqual<std::size_t>(shown.size(), 0, "boxes shown by a normal session");
}

void* refuseMemory(std::size_t) { return nullptr; }

// The plugin's own code linked into this program, with the store's memory
// refused through its allocator seam.
void checkAllocationFailure() {
  hushlink::setStoreAllocator(refuseMemory);
  struct Case {
    const char* name;
    bool logs;
    const char* setting;
    std::size_t boxes;
  };
  for (const Case& c : {Case{"alert, logging on", true, "logging = 1\n", 1},
                        Case{"alert, logging off", true, "logging = 0\n", 1},
                        Case{"no alert without a log", false, "logging = 1\n", 0}}) {
    currentCheck = c.name;
    freshFolder(true, c.logs);
    writeFile("inis/Hushlink.ini", c.setting);
    int result = 0;
    const auto shown = boxesShownBy([&] { result = FWinit(); });
    expectEqual(result, -1, "FWinit");
    expectEqual(shown.size(), c.boxes, "boxes shown");
    if (shown.size() == 1) {
      expectBytes(shown[0].caption, "Message", "caption");
      expectBytes(shown[0].text, "Error allocating Memory", "text");
      expect(shown[0].wideText == L"Error allocating Memory", "the wide text");
    }
    FWshutdown();
  }
  currentCheck = "retry after failure";
  hushlink::setStoreAllocator(nullptr);
  expectEqual(FWinit(), 0, "FWinit with memory");
  FWwrite32(4, 7);
  expectEqual<std::uint32_t>(FWread32(4), 7, "store works");
  FWshutdown();
}

// ---- a host in a bad state ----

// Starts `commandLine` in `folder` (null: this one) with standard output and
// standard error into the two files (null: standard error stays ours); the
// process, or null when it could not be started.
HANDLE startProcess(std::wstring commandLine, const wchar_t* folder, const wchar_t* outputPath,
                    const wchar_t* errorPath = nullptr) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  auto open = [&](const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE output = open(outputPath);
  const HANDLE error = errorPath != nullptr ? open(errorPath) : GetStdHandle(STD_ERROR_HANDLE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, folder, &startup, &process);
  CloseHandle(output);
  if (errorPath != nullptr) CloseHandle(error);
  if (!started) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Waits for a process started above; its exit code.
DWORD exitCodeOf(HANDLE process) {
  if (process == nullptr) return 0xFFFFFFFF;
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

std::wstring ownPath() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return self;
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The memory the process has committed for itself.
std::size_t privateKilobytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.PagefileUsage / 1024;
}

// Descriptors open in the C runtime that this program shares with the module:
// a log file left open would hold one (and a stream-table slot).
int openDescriptors() {
  int open = 0;
  for (int descriptor = 0; descriptor < 2048; ++descriptor) {
    open += _get_osfhandle(descriptor) != -1;
  }
  return open;
}

// A host that unloads the module without FWshutdown, 300 times: the handles
// and the memory it holds stay flat, and the log can still be opened.
void checkUnloadWithoutShutdown(const char* path) {
  currentCheck = "unload without FWshutdown";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  auto round = [&] {
    const HMODULE handle = LoadLibraryA(path);
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
  const int descriptors = openDescriptors();
  const std::size_t committed = privateKilobytes();
  bool everyInit = true;
  for (int i = 30; i < 600; ++i) everyInit &= round();
  expect(everyInit, "every FWinit succeeded");
  expectEqual(openDescriptors(), descriptors, "open descriptors after 570 more rounds");
  const std::size_t committedAfter = privateKilobytes();
  expect(committedAfter < committed + 1024,
         "the memory in use stays flat: " + std::to_string(committed) + " KiB, then " +
             std::to_string(committedAfter) + " KiB");
  expectBytes(readFile("logs/Hushlink.log"),
              "Hushlink plugin version 0,6\r\nInitializing Hushlink\r\nFW write mem 0x100: 0x1\r\n",
              "the last round's log, and nothing written at unload");
}

// One session of two that share a folder, run as a child process: FWinit
// (first or after the other's signal), 2000 logged writes at `base`, with a
// signal to the other after 200.
int runSharedSession(const char* path, std::uint32_t base, bool initFirst) {
  const HANDLE firstReady = CreateEventW(nullptr, TRUE, FALSE, L"hushlink-first-ready");
  const HANDLE secondReady = CreateEventW(nullptr, TRUE, FALSE, L"hushlink-second-ready");
  Module m(path);
  if (!initFirst) WaitForSingleObject(firstReady, INFINITE);
  if (m.FWinit() != 0) return 2;
  for (std::uint32_t i = 0; i < 2000; ++i) {
    if (i == 200) {
      SetEvent(initFirst ? firstReady : secondReady);
      if (initFirst) WaitForSingleObject(secondReady, INFINITE);
    }
    m.FWwrite32(base + i, i);
  }
  m.FWshutdown();
  return 0;
}

void checkTwoSessions(const char* path) {
  currentCheck = "two sessions in one folder";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  std::vector<HANDLE> children;
  for (const wchar_t* role : {L"first", L"second"}) {
    children.push_back(
        startProcess(L"\"" + ownPath() + L"\" shared-session " + role + L" \"" + wide(path) + L"\"",
                     nullptr, L"NUL"));
  }
  for (const HANDLE child : children) {
    expectEqual<unsigned long>(exitCodeOf(child), 0, "a session's exit code");
  }
  const std::string log = readFile("logs/Hushlink.log");
  expect(log.find('\0') == std::string::npos, "no NUL bytes in the log");
  std::istringstream lines(log);
  std::size_t fromSecond = 0;
  std::string last;
  bool whole = true;
  for (std::string line; std::getline(lines, line);) {
    const bool valid =
        !line.empty() && line.back() == '\r' &&
        (line == "Hushlink plugin version 0,6\r" || line == "Initializing Hushlink\r" ||
         line.rfind("FW write mem 0xa0", 0) == 0 || line.rfind("FW write mem 0xb0", 0) == 0);
    if (!valid && whole) expect(false, "a torn line: " + shownBytes(line));
    whole &= valid;
    if (line.rfind("FW write mem 0xb0", 0) == 0) {
      ++fromSecond;
      last = line;
    }
  }
  expectEqual<std::size_t>(fromSecond, 2000, "lines of the second session");
  expectBytes(last, "FW write mem 0xb07cf: 0x7cf\r", "its last line");
}

// A logged session in a child whose process then dies without exiting: each
// line reached standard output when it was logged.
void checkConsoleLinesBeforeACrash(const char* path) {
  currentCheck = "console lines before a crash";
  freshFolder();
  writeFile("inis/Hushlink.ini", "logging = 1\n");
  exitCodeOf(startProcess(L"\"" + ownPath() + L"\" crash-after-logging \"" + wide(path) + L"\"",
                          nullptr, L"stdout.txt"));
  expectBytes(readFile("stdout.txt"),
              "Hushlink plugin version 0,6\r\nInitializing Hushlink\r\nOpening Hushlink.\r\n",
              "standard output of the crashed session");
}

int crashAfterLogging(const char* path) {
  Module m(path);
  m.FWinit();
  m.FWopen(nullptr);
  TerminateProcess(GetCurrentProcess(), 3);
  return 0;
}

// ---- the harness, with paths no 8-bit code page can name ----

struct HarnessResult {
  DWORD exitCode;
  std::string out;
  std::string err;
};

// Runs hushlink-host with `arguments` in `folder`, its TEMP set to `temp`.
HarnessResult runHarness(const std::wstring& harness, const std::wstring& arguments,
                         const std::wstring& folder, const std::wstring& temp) {
  SetEnvironmentVariableW(L"TEMP", temp.c_str());
  SetEnvironmentVariableW(L"TMP", temp.c_str());
  const DWORD code = exitCodeOf(startProcess(L"\"" + harness + L"\" " + arguments, folder.c_str(),
                                             L"harness-out.txt", L"harness-err.txt"));
  return {code, readFile("harness-out.txt"), readFile("harness-err.txt")};
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

void checkHarnessPaths(const char* module, const char* harnessPath) {
  currentCheck = "harness with non-ASCII paths";
  freshFolder(false, false);
  wchar_t here[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, here);
  const std::wstring base = here;
  const std::wstring plugins = base + L"\\\u63D2\u4EF6 \u00DC";  // 插件 Ü
  const std::wstring work = base + L"\\\u5DE5\u4F5C \u00FC";     // 工作 ü
  const std::wstring temp = base + L"\\\u4E34\u65F6 \u00E9";     // 临时 é
  for (const std::wstring& folder : {plugins, work, work + L"\\inis", work + L"\\logs", temp}) {
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  const std::wstring dll = plugins + L"\\Hushlink.dll";
  expect(CopyFileW(wide(module).c_str(), dll.c_str(), FALSE) != 0, "the module copied");
  {
    std::ofstream settings(std::filesystem::path(work + L"\\inis\\Hushlink.ini"), std::ios::binary);
    settings << "logging = 1\n";
  }
  wchar_t harness[MAX_PATH];
  GetFullPathNameW(wide(harnessPath).c_str(), MAX_PATH, harness, nullptr);
  const std::wstring quotedDll = L"\"" + dll + L"\"";

  HarnessResult result = runHarness(harness, L"info " + quotedDll, work, temp);
  expectEqual<unsigned long>(result.exitCode, 0,
                             "info: exit code; stderr " + shownBytes(result.err));
  expect(result.out.find("name:     Hushlink Driver") != std::string::npos,
         "info names the plugin");

  result = runHarness(harness, L"run " + quotedDll, work, temp);
  expectEqual<unsigned long>(result.exitCode, 0,
                             "run: exit code; stderr " + shownBytes(result.err));
  std::ifstream logFile(std::filesystem::path(work + L"\\logs\\Hushlink.log"), std::ios::binary);
  std::ostringstream log;
  log << logFile.rdbuf();
  expect(log.str().rfind("Hushlink plugin version 0,6\r\n", 0) == 0,
         "run logged in the working folder");

  result = runHarness(harness, L"replay " + quotedDll + L" logs\\Hushlink.log", work, temp);
  expectEqual<unsigned long>(result.exitCode, 0,
                             "replay: exit code; stderr " + shownBytes(result.err));

  result = runHarness(harness, L"check " + quotedDll, work, temp);
  expectEqual<unsigned long>(result.exitCode, 0,
                             "check: exit code; output " + shownBytes(result.out));
  expect(result.out.find("10 checks: 10 passed, 0 failed") != std::string::npos,
         "check passes every check with TEMP under a non-ASCII name");
  WIN32_FIND_DATAW found;
  const HANDLE left = FindFirstFileW((temp + L"\\hushlink-*").c_str(), &found);
  expect(left == INVALID_HANDLE_VALUE, "check cleans up its scratch folders");
  if (left != INVALID_HANDLE_VALUE) FindClose(left);

  currentCheck = "harness given the other bitness";
  const std::wstring otherFolder = plugins + L"\\other";
  CreateDirectoryW(otherFolder.c_str(), nullptr);
  std::ofstream(std::filesystem::path(otherFolder + L"\\Hushlink.dll"), std::ios::binary)
      << otherBitnessImage();
  result = runHarness(harness, L"info \"" + otherFolder + L"\\Hushlink.dll\"", work, temp);
  expectEqual<unsigned long>(result.exitCode, 1, "exit code");
  const std::string expected =
      sizeof(void*) == 4
          ? "Hushlink.dll is a 64-bit module; this hushlink-host is 32-bit: use the 32-bit "
            "Hushlink.dll, or the 64-bit hushlink-host.exe\r\n"
          : "Hushlink.dll is a 32-bit module; this hushlink-host is 64-bit: use the 64-bit "
            "Hushlink.dll, or the 32-bit hushlink-host.exe\r\n";
  expect(
      result.err.size() >= expected.size() &&
          result.err.compare(result.err.size() - expected.size(), expected.size(), expected) == 0,
      "the message names the bitness: " + shownBytes(result.err));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "shared-session") == 0) {
    const bool first = std::strcmp(argv[2], "first") == 0;
    return runSharedSession(argv[3], first ? 0xA0000 : 0xB0000, first);
  }
  if (argc == 4 && std::strcmp(argv[1], "harness") == 0) {
    checkHarnessPaths(argv[2], argv[3]);
    std::printf("harness: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
  }
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: windows-test exports|store|log|settings|messages|alloc|bad-host DLL\n");
    return 2;
  }
  const std::string group = argv[1];
  const char* path = argv[2];
  if (group == "crash-after-logging") return crashAfterLogging(path);
  if (group == "bad-host") {
    checkUnloadWithoutShutdown(path);
    checkTwoSessions(path);
    checkConsoleLinesBeforeACrash(path);
  } else if (group == "alloc") {
    checkAllocationFailure();
  } else {
    Module module(path);
    if (group == "exports") {
      checkExports(path, module);
    } else if (group == "store") {
      checkStore(module);
    } else if (group == "log") {
      checkLog(module);
    } else if (group == "settings") {
      checkSettings(module);
      checkSettingsFiles(module);
    } else if (group == "messages") {
      currentCheck = "code page";
      expectEqual<unsigned>(GetACP(), 1252, "the system's 8-bit code page");
      checkMessages(module);
    } else if (group == "messages-gbk") {
      currentCheck = "code page";
      expectEqual<unsigned>(GetACP(), 936, "the system's 8-bit code page");
      checkMessages(module);
    } else {
      std::fprintf(stderr, "unknown group %s\n", group.c_str());
      return 2;
    }
  }
  std::printf("%s: %d passed, %d failed\n", group.c_str(), passed, failed);
  return failed == 0 ? 0 : 1;
}

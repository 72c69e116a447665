// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/check.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>

#include "host/platform.h"
#include "host/plugin.h"
#include "host/report.h"

namespace hushlink::host {
namespace {

namespace fs = std::filesystem;

constexpr const char* kVerdictFile = "verdict.txt";
// Made by the parent in each scratch folder, holding a token that only it and
// its child know: the child mode runs nowhere else.
constexpr const char* kMarkerFile = ".hushlink-check";
constexpr const char* kOutputFile = "stdout.txt";
constexpr const char* kErrorFile = "stderr.txt";
constexpr const char* kSettingsFile = "inis/Hushlink.ini";
constexpr const char* kLogFile = "logs/Hushlink.log";
constexpr std::uint32_t kFixed = 0x1F808410;

struct Failure {
  std::string expected;
  std::string got;
};
using Verdict = std::optional<Failure>;  // empty: passed

// Shows control characters, so that line ends are visible in a report.
std::string visible(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string readFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return "(no file)";
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void writeFile(const char* path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Text as the plugin writes it: the platform's line ends.
std::string lines(std::initializer_list<const char*> texts) {
  std::string out;
  for (const char* text : texts) out += std::string(text) + kTextLineEnd;
  return out;
}

Verdict expectText(const std::string& what, const std::string& expected, const std::string& got) {
  if (expected == got) return {};
  return Failure{what + " " + visible(expected), visible(got)};
}

Verdict expectRead(const SessionEntryPoints& fw, std::uint32_t address, std::uint32_t expected) {
  const std::uint32_t got = fw.read32(address);
  if (got == expected) return {};
  return Failure{"FWread32(" + hex(address) + ") = " + hex(expected), hex(got)};
}

Verdict expectInit(const SessionEntryPoints& fw) {
  const std::int32_t result = fw.init();
  if (result == 0) return {};
  return Failure{"FWinit() = 0", std::to_string(result)};
}

void setLogging(int logging) {
  std::string line = "logging = ";
  line += std::to_string(logging);
  line += '\n';
  writeFile(kSettingsFile, line);
}

// Runs steps in order and stops at the first that fails.
Verdict firstFailure(std::initializer_list<std::function<Verdict()>> steps) {
  for (const auto& step : steps) {
    if (Verdict verdict = step()) return verdict;
  }
  return {};
}

struct Session {
  Plugin& plugin;
  SessionEntryPoints fw;
};

Verdict checkIdentification(Session& s) {
  const auto type = s.plugin.get<PS2EgetLibTypeFn>("PS2EgetLibType");
  const auto name = s.plugin.get<PS2EgetLibNameFn>("PS2EgetLibName");
  const auto version = s.plugin.get<PS2EgetLibVersion2Fn>("PS2EgetLibVersion2");
  const auto test = s.plugin.get<FWtestFn>("FWtest");
  if (!type || !name || !version || !test) {
    return Failure{"the identification entry points and FWtest", "some are missing"};
  }
  const char* text = name();
  return firstFailure({
      [&]() -> Verdict {
        if (type() == kFireWireType) return {};
        return Failure{"PS2EgetLibType() = 0x40", hex(type())};
      },
      [&] { return expectText("PS2EgetLibName() =", "Hushlink Driver", text ? text : "(null)"); },
      [&]() -> Verdict {
        for (const std::uint32_t argument : {0u, kFireWireType, 0xFFFFFFFFu}) {
          if (version(argument) != 0x00020006) {
            return Failure{"PS2EgetLibVersion2(" + hex(argument) + ") = 0x00020006",
                           hex(version(argument), 8)};
          }
        }
        return {};
      },
      [&]() -> Verdict {
        if (test() == 0) return {};
        return Failure{"FWtest() = 0", std::to_string(test())};
      },
  });
}

Verdict checkExportedNames(Session& s) {
  std::vector<const char*> names;
  for (const EntryPointInfo& entry : kEntryPoints) names.push_back(entry.name);
  const std::vector<std::string> absent = s.plugin.missing(names);
  if (!absent.empty()) return Failure{"all thirteen entry points", "missing " + joined(absent)};
  if (!modulesHaveExportNumbers()) return {};
  for (const EntryPointInfo& entry : kEntryPoints) {
    if (s.plugin.addressByNumber(entry.exportNumber) != s.plugin.address(entry.name)) {
      return Failure{
          std::string(entry.name) + " at export number " + std::to_string(entry.exportNumber),
          "another address"};
    }
  }
  for (const int number : kUnusedExportNumbers) {
    if (s.plugin.addressByNumber(number) != nullptr) {
      return Failure{"export number " + std::to_string(number) + " empty", "an entry point"};
    }
  }
  return {};
}

Verdict checkFreshStore(Session& s) {
  setLogging(0);
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  for (std::uint32_t offset = 0; offset <= 0xFFFF; ++offset) {
    const std::uint32_t address = 0x1F800000 | offset;
    if (Verdict verdict = expectRead(s.fw, address, address == kFixed ? 8 : 0)) return verdict;
  }
  return {};
}

Verdict checkFixedRegister(Session& s) {
  setLogging(0);
  return firstFailure({
      [&] { return expectInit(s.fw); },
      [&] {
        s.fw.write32(kFixed, 0x12345678);
        return expectRead(s.fw, kFixed, 8);
      },
      [&] { return expectRead(s.fw, 0x00008410, 0x12345678); },
      [&] { return expectRead(s.fw, 0xFFFF8410, 0x12345678); },
  });
}

Verdict checkAliasing(Session& s) {
  setLogging(0);
  return firstFailure({
      [&] { return expectInit(s.fw); },
      [&] {
        s.fw.write32(0x1F801000, 0xA5A5F00D);
        return expectRead(s.fw, 0x00001000, 0xA5A5F00D);
      },
      [&] { return expectRead(s.fw, 0xFFFF1000, 0xA5A5F00D); },
      [&] {
        s.fw.write32(0x00002000, 0x0BADCAFE);
        return expectRead(s.fw, 0x1F802000, 0x0BADCAFE);
      },
  });
}

Verdict checkOverlappingWords(Session& s) {
  setLogging(0);
  return firstFailure({
      [&] { return expectInit(s.fw); },
      [&] {
        s.fw.write32(0x1F800100, 0x11223344);
        return expectRead(s.fw, 0x1F800101, 0x00112233);
      },
      [&] { return expectRead(s.fw, 0x1F8000FF, 0x22334400); },
  });
}

Verdict checkLog(Session& s) {
  setLogging(1);
  const std::string expected =
      lines({"Hushlink plugin version 0,6", "Initializing Hushlink", "Opening Hushlink.",
             "FW read mem 0x1f808410: 0x8", "FW write mem 0x1f808410: 0x1", "Closing Hushlink."});
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  s.fw.open(nullptr);
  s.fw.read32(kFixed);
  s.fw.write32(kFixed, 1);
  s.fw.close();
  s.fw.shutdown();
  std::fflush(stdout);
  return firstFailure({
      [&] { return expectText("log file", expected, readFile(kLogFile)); },
      [&] { return expectText("standard output", expected, readFile(kOutputFile)); },
  });
}

Verdict checkSettingsCreated(Session& s) {
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  s.fw.shutdown();
  return expectText("settings file", lines({"logging = 0"}), readFile(kSettingsFile));
}

Verdict checkSettingsConfigure(Session& s) {
  const auto configure = s.plugin.get<FWconfigureFn>("FWconfigure");
  if (!configure) return Failure{"FWconfigure", "missing"};
  setLogging(0);
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  s.fw.read32(0x100);
  writeFile(kSettingsFile, "logging=3 (edited by hand)\n");
  configure();
  s.fw.read32(0x100);
  s.fw.shutdown();
  return firstFailure({
      [&] { return expectText("settings file", lines({"logging = 3"}), readFile(kSettingsFile)); },
      [&] { return expectText("log file", lines({"FW read mem 0x100: 0x0"}), readFile(kLogFile)); },
  });
}

Verdict checkReinit(Session& s) {
  setLogging(1);
  return firstFailure({
      [&] { return expectInit(s.fw); },
      [&] {
        s.fw.write32(0x1F800200, 0x76543210);
        s.fw.shutdown();
        return expectInit(s.fw);
      },
      [&] { return expectRead(s.fw, 0x200, 0); },
      [&] {
        s.fw.shutdown();
        return expectText("log file after the second FWinit",
                          lines({"Hushlink plugin version 0,6", "Initializing Hushlink",
                                 "FW read mem 0x200: 0x0"}),
                          readFile(kLogFile));
      },
  });
}

struct Check {
  const char* name;
  Verdict (*run)(Session&);
  bool needsSession;  // the register session's entry points
};

constexpr Check kChecks[] = {
    {"identification", checkIdentification, false},
    {"exported-names", checkExportedNames, false},
    {"fresh-store", checkFreshStore, true},
    {"fixed-register", checkFixedRegister, true},
    {"aliasing", checkAliasing, true},
    {"overlapping-words", checkOverlappingWords, true},
    {"log", checkLog, true},
    {"settings-created", checkSettingsCreated, true},
    {"settings-configure", checkSettingsConfigure, true},
    {"reinit", checkReinit, true},
};

void writeVerdict(const Verdict& verdict) {
  std::ofstream file(kVerdictFile, std::ios::binary | std::ios::trunc);
  if (!verdict) {
    file << "pass\n";
  } else {
    file << "fail\n" << verdict->expected << "\n" << verdict->got << "\n";
  }
}

struct CheckDirectory {
  fs::path path;
  std::string token;
};

// A fresh directory laid out as the emulator's working directory, marked as
// one of ours.
CheckDirectory makeCheckDirectory(const char* name) {
  std::random_device random;
  for (;;) {
    const std::string token = std::to_string(random()) + std::to_string(random());
    const fs::path directory =
        fs::temp_directory_path() /
        ("hushlink-check-" + std::to_string(random() % 100000000) + "-" + name);
    if (fs::create_directory(directory)) {
      fs::create_directory(directory / "inis");
      fs::create_directory(directory / "logs");
      std::ofstream(directory / kMarkerFile, std::ios::binary) << token;
      return {directory, token};
    }
  }
}

std::string seconds(std::chrono::milliseconds limit) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(limit.count()) / 1000);
  return text;
}

// The parent's side of one check. It passes only when the child wrote a
// passing verdict and then, after FWshutdown and unloading the module,
// exited by itself with status 0.
Verdict runCheck(const std::string& modulePath, const Check& check,
                 std::chrono::milliseconds limit) {
  const CheckDirectory directory = makeCheckDirectory(check.name);
  const ChildResult child =
      runChild(ownPath(), {"--check-child", modulePath, check.name, directory.token},
               directory.path, directory.path / kOutputFile, directory.path / kErrorFile, limit);
  Verdict verdict;
  std::ifstream file(directory.path / kVerdictFile);
  std::string outcome;
  const bool hasVerdict = static_cast<bool>(std::getline(file, outcome));
  const std::string cleanExit = "a clean exit after FWshutdown and unloading";
  if (!child.started) {
    verdict = Failure{"the check to run", "its process could not be started"};
  } else if (child.timedOut) {
    verdict = Failure{"the check to finish within " + seconds(limit), "timed out"};
  } else if (hasVerdict && outcome != "pass") {
    Failure failure;
    std::getline(file, failure.expected);
    std::getline(file, failure.got);
    verdict = failure;
  } else if (!child.exited) {
    verdict = Failure{cleanExit, child.ending};
  } else if (child.exitCode != 0) {
    verdict = Failure{cleanExit, "exit status " + std::to_string(child.exitCode)};
  } else if (!hasVerdict) {
    verdict = Failure{"a verdict", "none"};
  }
  file.close();
  std::error_code ignored;
  fs::remove_all(directory.path, ignored);
  return verdict;
}

}  // namespace

int checkModule(const std::string& modulePath, std::chrono::milliseconds limit) {
  std::string error;
  {
    Plugin probe;
    if (!probe.load(modulePath, error)) return fail(error);
  }
  const std::string absolute = toUtf8(fs::absolute(toPath(modulePath)));
  const bool terminal = outputIsTerminal();
  int failed = 0;
  for (const Check& check : kChecks) {
    if (terminal) {
      std::printf("  ....  %s\r", check.name);
      std::fflush(stdout);
    }
    const Verdict verdict = runCheck(absolute, check, limit);
    if (!verdict) {
      std::printf("  PASS  %s\n", check.name);
    } else {
      ++failed;
      std::printf("  FAIL  %-18s expected %s, got %s\n", check.name,
                  forConsole(verdict->expected).c_str(), forConsole(verdict->got).c_str());
    }
    std::fflush(stdout);
  }
  const int total = static_cast<int>(std::size(kChecks));
  std::printf("%d checks: %d passed, %d failed\n", total, total - failed, failed);
  return failed == 0 ? kExitSuccess : kExitFailure;
}

int runCheckInChild(const std::string& modulePath, const std::string& name,
                    const std::string& token) {
  std::ifstream marker(kMarkerFile, std::ios::binary);
  std::string found;
  if (!std::getline(marker, found) || found != token) {
    return usageError("--check-child runs only in a folder that 'hushlink-host check' made");
  }
  marker.close();
  dismissMessageBoxes();
  for (const Check& check : kChecks) {
    if (name != check.name) continue;
    Verdict verdict;
    {
      Plugin plugin;
      Session session{plugin, {}};
      std::string error;
      const bool loaded = check.needsSession ? loadForSession(modulePath, plugin, session.fw, error)
                                             : plugin.load(modulePath, error);
      verdict = loaded ? check.run(session) : Failure{"a module with the entry points", error};
      if (check.needsSession && loaded) session.fw.shutdown();
    }
    // Only now, with the module shut down and unloaded: a crash on the way
    // leaves no verdict, and the parent reports how the process ended.
    writeVerdict(verdict);
    return kExitSuccess;
  }
  return usageError("no check named '" + name + "'");
}

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/check/check_table.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "host/commands/report.h"
#include "host/system/platform.h"
#include "plugin/hushlink.h"

namespace hushlink::host {
namespace {

constexpr const char* kSettingsFile = HUSHLINK_SETTINGS_PATH;
constexpr const char* kLogFile = HUSHLINK_LOG_PATH;
constexpr std::uint32_t kOffsetMask = HUSHLINK_STORE_SIZE - 1;
constexpr std::uint32_t kFixedReadAddress = HUSHLINK_FIXED_READ_ADDRESS;
constexpr std::uint32_t kFixedReadValue = HUSHLINK_FIXED_READ_VALUE;
constexpr std::uint32_t kLibType = HUSHLINK_LIB_TYPE;
constexpr std::uint32_t kLibVersion = HUSHLINK_LIB_VERSION;

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
std::string lines(std::initializer_list<std::string> texts) {
  std::string out;
  for (const std::string& text : texts) out += text + kTextLineEnd;
  return out;
}

// A register access's log line, as a module of this interface writes it.
std::string accessLine(const char* prefix, std::uint32_t address, std::uint32_t value) {
  return std::string(prefix) + " " + hex(address) + ": " + hex(value);
}

std::string settingsLine(int logging) {
  // Appended to, not "literal" + std::string: g++ 12 at -O3 for i386 warns
  // of an overlap in the latter that cannot happen (-Wrestrict).
  std::string line = HUSHLINK_LOGGING_KEY " = ";
  line += std::to_string(logging);
  return line;
}

// The log's first two lines after every FWinit.
constexpr const char* kVersionLine = "Hushlink plugin version 0,6";
constexpr const char* kStartLine = HUSHLINK_SESSION_START_LINE;

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

void setLogging(int logging) { writeFile(kSettingsFile, settingsLine(logging) + "\n"); }

// Runs steps in order and stops at the first that fails.
Verdict firstFailure(std::initializer_list<std::function<Verdict()>> steps) {
  for (const auto& step : steps) {
    if (Verdict verdict = step()) return verdict;
  }
  return {};
}

Verdict checkIdentification(CheckSession& s) {
  const EntryPoints& fw = s.plugin.entryPoints();
  const PS2EgetLibTypeFn type = fw.PS2EgetLibType;
  const PS2EgetLibNameFn name = fw.PS2EgetLibName;
  const PS2EgetLibVersion2Fn version = fw.PS2EgetLibVersion2;
  const FWtestFn test = fw.FWtest;
  if (!type || !name || !version || !test) {
    return Failure{"the identification entry points and FWtest", "some are missing"};
  }
  const char* text = name();
  return firstFailure({
      [&]() -> Verdict {
        if (type() == kLibType) return {};
        return Failure{"PS2EgetLibType() = " + hex(kLibType), hex(type())};
      },
      [&] { return expectText("PS2EgetLibName() =", HUSHLINK_LIB_NAME, text ? text : "(null)"); },
      [&]() -> Verdict {
        for (const std::uint32_t argument : {0u, kLibType, 0xFFFFFFFFu}) {
          if (version(argument) != kLibVersion) {
            return Failure{"PS2EgetLibVersion2(" + hex(argument) + ") = " + hex(kLibVersion, 8),
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

Verdict checkExportedNames(CheckSession& s) {
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

Verdict checkFreshStore(CheckSession& s) {
  setLogging(0);
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  for (std::uint32_t offset = 0; offset <= kOffsetMask; ++offset) {
    const std::uint32_t address = 0x1F800000 | offset;
    if (Verdict verdict =
            expectRead(s.fw, address, address == kFixedReadAddress ? kFixedReadValue : 0))
      return verdict;
  }
  return {};
}

Verdict checkFixedRegister(CheckSession& s) {
  setLogging(0);
  return firstFailure({
      [&] { return expectInit(s.fw); },
      [&] {
        s.fw.write32(kFixedReadAddress, 0x12345678);
        return expectRead(s.fw, kFixedReadAddress, kFixedReadValue);
      },
      [&] { return expectRead(s.fw, 0x00008410, 0x12345678); },
      [&] { return expectRead(s.fw, 0xFFFF8410, 0x12345678); },
  });
}

Verdict checkAliasing(CheckSession& s) {
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

Verdict checkOverlappingWords(CheckSession& s) {
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

Verdict checkLog(CheckSession& s) {
  setLogging(1);
  const std::string expected =
      lines({kVersionLine, kStartLine, "Opening Hushlink.",
             accessLine(HUSHLINK_READ_LINE_PREFIX, kFixedReadAddress, kFixedReadValue),
             accessLine(HUSHLINK_WRITE_LINE_PREFIX, kFixedReadAddress, 1), "Closing Hushlink."});
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  s.fw.open(nullptr);
  s.fw.read32(kFixedReadAddress);
  s.fw.write32(kFixedReadAddress, 1);
  s.fw.close();
  s.fw.shutdown();
  std::fflush(stdout);
  return firstFailure({
      [&] { return expectText("log file", expected, readFile(kLogFile)); },
      [&] { return expectText("standard output", expected, readFile(kCheckOutputFile)); },
  });
}

Verdict checkSettingsCreated(CheckSession& s) {
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  s.fw.shutdown();
  return expectText("settings file", lines({settingsLine(0)}), readFile(kSettingsFile));
}

Verdict checkSettingsConfigure(CheckSession& s) {
  const FWconfigureFn configure = s.plugin.entryPoints().FWconfigure;
  if (!configure) return Failure{"FWconfigure", "missing"};
  setLogging(0);
  if (Verdict verdict = expectInit(s.fw)) return verdict;
  s.fw.read32(0x100);
  writeFile(kSettingsFile, HUSHLINK_LOGGING_KEY "=3 (edited by hand)\n");
  configure();
  s.fw.read32(0x100);
  s.fw.shutdown();
  return firstFailure({
      [&] {
        return expectText("settings file", lines({settingsLine(3)}), readFile(kSettingsFile));
      },
      [&] {
        return expectText("log file", lines({accessLine(HUSHLINK_READ_LINE_PREFIX, 0x100, 0)}),
                          readFile(kLogFile));
      },
  });
}

Verdict checkReinit(CheckSession& s) {
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
        return expectText(
            "log file after the second FWinit",
            lines({kVersionLine, kStartLine, accessLine(HUSHLINK_READ_LINE_PREFIX, 0x200, 0)}),
            readFile(kLogFile));
      },
  });
}

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

}  // namespace

std::span<const Check> allChecks() { return kChecks; }

const Check* findCheck(const std::string& name) {
  for (const Check& check : kChecks) {
    if (name == check.name) return &check;
  }
  return nullptr;
}

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/replay.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>

#include "host/platform.h"
#include "host/plugin.h"
#include "host/report.h"

namespace hushlink::host {
namespace {

namespace fs = std::filesystem;

constexpr const char* kReadPrefix = "FW read mem 0x";
constexpr const char* kWritePrefix = "FW write mem 0x";
constexpr const char* kInitLine = "Initializing Hushlink";
constexpr const char* kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::uintmax_t kProgressThreshold = 1 << 20;  // bytes of log worth a progress line

struct Access {
  bool isRead;
  std::uint32_t address;
  std::uint32_t value;
};

// 1 to 8 hex digits at `text`, advancing it past them.
bool parseHex(const char*& text, std::uint32_t& value) {
  value = 0;
  int digits = 0;
  for (;; ++text, ++digits) {
    const char c = *text;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (digits == 8) return false;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return digits > 0;
}

enum class LineKind { Access, Init, Other, Malformed };

LineKind classify(const std::string& line, Access& access) {
  const bool isRead = line.rfind(kReadPrefix, 0) == 0;
  const bool isWrite = line.rfind(kWritePrefix, 0) == 0;
  if (!isRead && !isWrite) return line == kInitLine ? LineKind::Init : LineKind::Other;
  const char* text = line.c_str() + std::strlen(isRead ? kReadPrefix : kWritePrefix);
  access.isRead = isRead;
  if (!parseHex(text, access.address) || std::strncmp(text, ": 0x", 4) != 0) {
    return LineKind::Malformed;
  }
  text += 4;
  if (!parseHex(text, access.value) || *text != '\0') return LineKind::Malformed;
  return LineKind::Access;
}

// Where the replayed module runs: a fresh directory with logging off, so
// that neither the user's settings nor the log being replayed are touched.
class ScratchDirectory {
 public:
  ScratchDirectory() : previous_(fs::current_path()) {
    std::random_device random;
    do {
      path_ =
          fs::temp_directory_path() / ("hushlink-replay-" + std::to_string(random() % 100000000));
    } while (!fs::create_directory(path_));
    fs::create_directory(path_ / "inis");
    std::ofstream(path_ / "inis" / "Hushlink.ini") << "logging = 0\n";
    fs::current_path(path_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

 private:
  fs::path previous_;
  fs::path path_;
};

// "\rreplaying LOG: 42%" on a terminal, at most once per percent, when the
// log's size is known.
class Progress {
 public:
  Progress(const std::string& name, std::uintmax_t total)
      : name_(forConsole(name)),
        total_(total),
        shown_(outputIsTerminal() && total >= kProgressThreshold) {}
  void update(std::uintmax_t done) {
    if (!shown_) return;
    const int percent = static_cast<int>(std::min<std::uintmax_t>(done * 100 / total_, 100));
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    std::printf("\rreplaying %s: %3d%%", name_.c_str(), percent);
    std::fflush(stdout);
  }
  void finish() {
    if (shown_) std::printf("\r%*s\r", static_cast<int>(name_.size()) + 16, "");
    shown_ = false;
  }

 private:
  std::string name_;
  std::uintmax_t total_;
  bool shown_;
  int lastPercent_ = -1;
};

struct Counts {
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::string text() const {
    char line[96];
    std::snprintf(line, sizeof line, "%" PRIu64 " accesses (%" PRIu64 " reads, %" PRIu64 " writes)",
                  reads + writes, reads, writes);
    return line;
  }
};

// A log line without its line end: LF, CR LF, or the CR CR LF of a text-mode
// copy made twice.
void dropLineEnd(std::string& line) {
  while (!line.empty() && line.back() == '\r') line.pop_back();
}

int replayStream(const std::string& modulePath, std::istream& log, const std::string& name,
                 std::uintmax_t size) {
  Plugin plugin;
  SessionEntryPoints fw;
  std::string error;
  if (!loadForSession(modulePath, plugin, fw, error)) return fail(error);
  dismissMessageBoxes();
  ScratchDirectory scratch;
  if (fw.init() != 0) return fail("FWinit failed");

  Progress progress(name, size);
  std::uintmax_t consumed = 0;
  Counts counts;
  bool pluginLines = false;
  std::string line;
  for (std::uint64_t number = 1; std::getline(log, line); ++number) {
    consumed += line.size() + 1;
    progress.update(consumed);
    if (number == 1 && line.rfind(kUtf8Mark, 0) == 0) line.erase(0, std::strlen(kUtf8Mark));
    dropLineEnd(line);
    Access access{};
    switch (classify(line, access)) {
      case LineKind::Other:
        continue;
      case LineKind::Init:
        // Each session of the log, the first too, starts on a fresh store:
        // logs joined together hold several, and one may begin mid-session.
        pluginLines = true;
        fw.shutdown();
        if (fw.init() != 0) return fail("FWinit failed");
        continue;
      case LineKind::Malformed:
        progress.finish();
        fw.shutdown();
        return fail(name + ":" + std::to_string(number) + ": not a register access line: " + line);
      case LineKind::Access:
        pluginLines = true;
        break;
    }
    if (!access.isRead) {
      fw.write32(access.address, access.value);
      ++counts.writes;
      continue;
    }
    const std::uint32_t value = fw.read32(access.address);
    if (value != access.value) {
      progress.finish();
      fw.shutdown();
      std::printf("replayed %s before the mismatch\n", counts.text().c_str());
      return fail(name + ":" + std::to_string(number) + ": FW read mem " + hex(access.address) +
                  ": logged " + hex(access.value) + ", the module read " + hex(value));
    }
    ++counts.reads;
  }
  progress.finish();
  fw.close();
  fw.shutdown();
  if (log.bad()) return fail(name + ": read error");
  if (!pluginLines) return fail("no plugin log lines in " + name);
  std::printf("replayed %s from %s: every read matched\n", counts.text().c_str(),
              forConsole(name).c_str());
  return kExitSuccess;
}

}  // namespace

int replayLog(const std::string& modulePath, const std::string& logPath) {
  if (logPath == "-") return replayStream(modulePath, std::cin, "<stdin>", 0);
  const fs::path path = toPath(logPath);
  std::error_code error;
  if (fs::is_directory(path, error)) return fail(logPath + ": cannot read log: it is a folder");
  std::ifstream log(path, std::ios::binary);
  if (!log) return fail(logPath + ": cannot read log");
  // Pipes and other streams have no size: they replay without progress.
  const std::uintmax_t size = fs::is_regular_file(path, error) ? fs::file_size(path, error) : 0;
  return replayStream(modulePath, log, logPath, error ? 0 : size);
}

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/replay.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
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
    std::ofstream(path_ / "inis/Hushlink.ini") << "logging = 0\n";
    fs::current_path(path_);
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
  }

 private:
  fs::path previous_;
  fs::path path_;
};

// "\rreplaying LOG: 42%" on a terminal, at most once per percent.
class Progress {
 public:
  Progress(const std::string& name, std::uintmax_t total)
      : name_(name), total_(total), shown_(outputIsTerminal() && total >= kProgressThreshold) {}
  void update(std::uintmax_t done) {
    if (!shown_) return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    std::printf("\rreplaying %s: %3d%%", name_.c_str(), percent);
    std::fflush(stdout);
  }
  void finish() {
    if (shown_) std::printf("\r%*s\r", static_cast<int>(name_.size()) + 16, "");
  }

 private:
  std::string name_;
  std::uintmax_t total_;
  bool shown_;
  int lastPercent_ = -1;
};

}  // namespace

int replayLog(const std::string& modulePath, const std::string& logPath) {
  std::ifstream log(logPath, std::ios::binary);
  std::error_code sizeError;
  const std::uintmax_t size = fs::file_size(logPath, sizeError);
  if (!log || sizeError) return fail(logPath + ": cannot read log");

  Plugin plugin;
  SessionEntryPoints fw;
  std::string error;
  if (!loadForSession(modulePath, plugin, fw, error)) return fail(error);
  dismissMessageBoxes();
  ScratchDirectory scratch;
  if (fw.init() != 0) return fail("FWinit failed");

  Progress progress(logPath, size);
  std::uintmax_t consumed = 0;
  std::size_t reads = 0;
  std::size_t writes = 0;
  bool seenInit = false;
  std::string line;
  for (std::size_t number = 1; std::getline(log, line); ++number) {
    consumed += line.size() + 1;
    progress.update(consumed);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Access access{};
    switch (classify(line, access)) {
      case LineKind::Other:
        continue;
      case LineKind::Init:
        // A log holds one session, but logs joined together hold several:
        // each starts on a fresh store.
        if (seenInit) {
          fw.shutdown();
          if (fw.init() != 0) return fail("FWinit failed");
        }
        seenInit = true;
        continue;
      case LineKind::Malformed:
        progress.finish();
        fw.shutdown();
        return fail(logPath + ":" + std::to_string(number) +
                    ": not a register access line: " + line);
      case LineKind::Access:
        break;
    }
    if (!access.isRead) {
      fw.write32(access.address, access.value);
      ++writes;
      continue;
    }
    const std::uint32_t value = fw.read32(access.address);
    ++reads;
    if (value != access.value) {
      progress.finish();
      fw.shutdown();
      std::printf("replayed %zu accesses (%zu reads, %zu writes) before the mismatch\n",
                  reads + writes, reads, writes);
      return fail(logPath + ":" + std::to_string(number) + ": FW read mem " + hex(access.address) +
                  ": logged " + hex(access.value) + ", the module read " + hex(value));
    }
  }
  progress.finish();
  fw.close();
  fw.shutdown();
  if (log.bad()) return fail(logPath + ": read error");
  std::printf("replayed %zu accesses (%zu reads, %zu writes) from %s: every read matched\n",
              reads + writes, reads, writes, logPath.c_str());
  return kExitSuccess;
}

}  // namespace hushlink::host

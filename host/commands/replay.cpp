// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host replay: a plugin's log replayed against a fresh module, every
// read compared with the value logged.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <string>

#include "host/commands/command.h"
#include "host/commands/report.h"
#include "host/formats/plugin_log.h"
#include "host/hosted_module.h"
#include "host/system/platform.h"
#include "host/system/scratch_directory.h"

namespace hushlink::host {
namespace {

constexpr std::uintmax_t kProgressThreshold = 1 << 20;  // bytes of log worth a progress line

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

int replay(const Invocation& invocation) {
  PluginLog log;
  std::string error;
  if (!log.open(invocation.operands[1], error)) return fail(error);
  HostedModule plugin;
  SessionEntryPoints fw;
  if (!loadForSession(invocation.operands[0], plugin, fw, error)) return fail(error);
  dismissMessageBoxes();
  // Logging off in a folder of its own: neither the user's settings nor the
  // log being replayed are touched.
  ScratchDirectory scratch("replay");
  std::ofstream(scratch.path() / "inis" / "Hushlink.ini") << "logging = 0\n";
  scratch.enter();
  if (fw.init() != 0) return fail("FWinit failed");

  Progress progress(log.name(), log.size());
  Counts counts;
  LogRecord record;
  while (log.next(record)) {
    progress.update(log.consumed());
    switch (record.kind) {
      case LogRecord::Kind::SessionStart:
        // Each session of the log, the first too, starts on a fresh store:
        // logs joined together hold several, and one may begin mid-session.
        fw.shutdown();
        if (fw.init() != 0) return fail("FWinit failed");
        break;
      case LogRecord::Kind::Write:
        fw.write32(record.address, record.value);
        ++counts.writes;
        break;
      case LogRecord::Kind::Read:
        if (const std::uint32_t value = fw.read32(record.address); value != record.value) {
          progress.finish();
          fw.shutdown();
          std::printf("replayed %s before the mismatch\n", counts.text().c_str());
          return fail(log.name() + ":" + std::to_string(record.line) + ": " +
                      std::string(accessLineStart(record.kind)) + hex(record.address) +
                      ": logged " + hex(record.value) + ", the module read " + hex(value));
        }
        ++counts.reads;
        break;
    }
  }
  progress.finish();
  fw.close();
  fw.shutdown();
  if (!log.error().empty()) return fail(log.error());
  std::printf("replayed %s from %s: every read matched\n", counts.text().c_str(),
              forConsole(log.name()).c_str());
  return kExitSuccess;
}

}  // namespace

const Command kReplayCommand = {
    "replay",
    "MODULE LOG",
    {},
    "Replay the register accesses of a plugin's log against a fresh module; every read must give "
    "the value logged.",
    "The module runs in a temporary folder with logging off, so the log being replayed is left "
    "alone. The log's \"FW read mem\" and \"FW write mem\" lines are replayed, with LF, CR LF or "
    "doubled CR line ends and an optional UTF-8 byte-order mark; other lines are passed over, and "
    "each \"Initializing Hushlink\" starts a fresh store. LOG may be - for standard input. It is "
    "an error when the log holds no plugin line at all, when an access line is garbled (\"LOG:N: "
    "not a register access line\"), and when an access or \"Initializing Hushlink\" line stops "
    "partway, its rest never written (\"LOG: line N is cut short\"). A garbled or cut line is "
    "no evidence, and nothing is replayed past it. Prints the accesses replayed, or the line of "
    "the first mismatch. "
    "On a terminal, a long log shows its progress.",
    nullptr,
    replay};

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
// Every call the module makes for files, memory and processes, failed once
// in turn, in each way that fits it, in a few fixed scenarios. A scenario
// runs once unfaulted to number its calls; then once more for every call
// and every mode, with that call failing. After each run:
//
//   the process    lives: no signal, no hang
//   registers      read back as written (as 0 after an FWinit whose store
//                  could not be had, the one failure FWinit reports)
//   settings file  holds its old line or its new one, whole, with the same
//                  permissions, owner, names and attributes; a save that
//                  did not happen left it untouched and said so in the log
//   log            holds no NUL byte and only lines the plugin wrote, in
//                  order; a line is missing only where its own write
//                  failed (one cut short is taken back), cut short on a
//                  line of its own only where its take-back failed too,
//                  and the log is empty only where the failure came before
//                  it was begun
//   messages       each shown once (lost only where its own output failed)
//   afterwards     nothing left open or locked after FWshutdown and unload;
//                  at most one file left beside the settings file; later
//                  calls work: FWinit again on a fresh log, a register
//                  written and read back, FWconfigure saving and showing its
//                  notice, FWshutdown twice
//
// An interrupted call and a short transfer are the caller's to finish:
// after one, everything is exactly as after the unfaulted run.
//
// Where the settings file is loaded and saved, and where a log line is
// taken back, failures also come in pairs: a first failure, then one of the
// calls its cleanup makes, judged by the same rules (a log line's piece may
// stay only where both its write and its take-back failed).
//
// A failing run is reported with its call, mode and number. To repeat it
// alone, set HUSHLINK_FAULT=NUMBER:MODE (a pair: NUMBER:MODE+NUMBER:MODE) and
// run only its scenario; HUSHLINK_FAULT=list lists each scenario's calls
// instead.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/commands/report.h"
#include "plugin/register_store.h"
#include "plugin/settings/file_system.h"
#include "tests/plugin/fault_injection/faults.h"
#include "tests/support/file_situations.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {

namespace {

namespace fs = std::filesystem;
using faults::Call;
using faults::Mode;
using faults::Role;
using host::visible;

// HUSHLINK_FAULT_SWEEP=short: the sweep for an emulated processor, where a
// run costs many times what it costs natively (the 32-bit module in a QEMU
// guest). It leaves the pairs out: they try the save's and the log's
// cleanup, the same code in every build, which the native builds sweep
// whole. Its session makes 6 accesses, not 200: a write after a write, a
// read after a write and a read after a read; past those, every access is
// logged through the same calls in the same state.
bool shortSweep() {
  const char* sweep = std::getenv("HUSHLINK_FAULT_SWEEP");
  return sweep != nullptr && std::string_view(sweep) == "short";
}

// Each read back, and one read of the fixed register after them.
int writesInSession() { return shortSweep() ? 3 : 100; }
constexpr std::uint32_t kInitAloneAddress = 0x40;
constexpr std::uint32_t kInitAloneValue = 0x1234;
constexpr std::uint32_t kLaterAddress = 0x8;
constexpr std::uint32_t kLaterValue = 0x77;

const std::string kLineEnd = files::kTextLineEnd;
const std::string kLoggingOn = "logging = 1\n";
const std::string kHandWritten = "logging=1   # as I left it\n";
constexpr const char* kConfigureNotice = "This space intentionally left blank.";
constexpr const char* kAboutText = "Hushlink：纯粹的空插件。";
// The About text as stored, each byte beyond ASCII shown as "?".
constexpr const char* kAboutUnconverted = "Hushlink????????????????";
constexpr const char* kAllocationAlert = "Error allocating Memory";
constexpr const char* kSaveFailed = "Failed to open inis//Hushlink.ini";

enum class Steps {
  Session,    // init, open, the accesses, close, shutdown
  Configure,  // init, configure, shutdown
  InitAlone,  // init, one access, shutdown
  About,
};

struct Scenario {
  const char* name;
  friend void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
  Steps steps;
  // Lays the scenario out in a fresh working folder that has inis/ and logs/.
  std::function<Arranged()> arrange;
  std::string before;                      // the settings file's content before
  std::string after;                       // and after a save
  int logging = 1;                         // the setting the file holds, or 0 by default
  bool logsFolder = true;                  // arrange leaves logs/ there
  const char* file = "inis/Hushlink.ini";  // the file a save writes
  const char* secondName = nullptr;        // a hard link that must go on naming it
  const char* link = nullptr;              // inis/Hushlink.ini stays a link to this
  bool desktop = false;                    // a stand-in dialog program shows the boxes
  const char* notOnWindows = nullptr;
  bool pairs = false;  // each failure's cleanup failed as well, in pairs
};

// What the calls made after a run showed: FWinit, a register written and
// read back, FWconfigure, FWshutdown twice, none of them failed.
struct Later {
  std::int32_t init = 0;
  std::uint32_t read = 0;
  std::string log;
  std::vector<std::string> shown;
};

// What a run saw through the entry points, and found afterwards.
struct Seen {
  std::int32_t init = 0;
  std::vector<std::uint32_t> reads;
  std::string log;
  std::vector<std::string> shown;
  std::string stray;
  std::string settings;
  bool operator==(const Seen&) const = default;
};

struct Outcome {
  std::string notHere;
  Seen seen;
  Later later;
  std::vector<Call> calls;
  std::string problems;  // one line each; empty when everything held
};

// The unfaulted run, which the faulted ones are judged against.
struct Reference {
  Outcome outcome;
};

using faults::Fault;
using faults::Plan;

std::uint32_t addressOf(int i) { return 0x100 + 8 * static_cast<std::uint32_t>(i); }
std::uint32_t valueOf(int i) { return 0x9E3779B9u * static_cast<std::uint32_t>(i + 1); }

void runSteps(Steps steps, const LoadedModule& plugin, faults::Injector& injector, Seen& seen) {
  std::uint32_t value = 0;
  switch (steps) {
    case Steps::Session:
      injector.during("FWinit", [&] { seen.init = plugin.FWinit(); });
      injector.during("FWopen", [&] { plugin.FWopen(nullptr); });
      for (int i = 0; i < writesInSession(); ++i) {
        injector.during("FWwrite32", [&] { plugin.FWwrite32(addressOf(i), valueOf(i)); });
        injector.during("FWread32", [&] { value = plugin.FWread32(addressOf(i)); });
        seen.reads.push_back(value);
      }
      injector.during("FWread32", [&] { value = plugin.FWread32(kFixedReadAddress); });
      seen.reads.push_back(value);
      injector.during("FWclose", [&] { plugin.FWclose(); });
      injector.during("FWshutdown", [&] { plugin.FWshutdown(); });
      return;
    case Steps::Configure:
      injector.during("FWinit", [&] { seen.init = plugin.FWinit(); });
      injector.during("FWconfigure", [&] { plugin.FWconfigure(); });
      injector.during("FWshutdown", [&] { plugin.FWshutdown(); });
      return;
    case Steps::InitAlone:
      injector.during("FWinit", [&] { seen.init = plugin.FWinit(); });
      injector.during("FWwrite32", [&] { plugin.FWwrite32(kInitAloneAddress, kInitAloneValue); });
      injector.during("FWread32", [&] { value = plugin.FWread32(kInitAloneAddress); });
      seen.reads.push_back(value);
      injector.during("FWshutdown", [&] { plugin.FWshutdown(); });
      return;
    case Steps::About:
      injector.during("FWabout", [&] { plugin.FWabout(); });
      return;
  }
}

std::string accessLine(const char* text, std::uint32_t address, std::uint32_t value) {
  char line[64];
  std::snprintf(line, sizeof line, "%s0x%x: 0x%x", text, address, value);
  return line;
}

std::vector<std::uint32_t> expectedReads(Steps steps, bool storeHeld) {
  std::vector<std::uint32_t> reads;
  if (steps == Steps::Session) {
    for (int i = 0; i < writesInSession(); ++i) reads.push_back(storeHeld ? valueOf(i) : 0);
    reads.push_back(kFixedReadValue);
  }
  if (steps == Steps::InitAlone) reads.push_back(storeHeld ? kInitAloneValue : 0);
  return reads;
}

using Lines = std::vector<std::string>;

// The logs a run may leave, before any line is lost: `saved` whether its
// save happened (`unsure`: a save that happened may have said it failed),
// `silent` whether the failure may have kept the log from ever being begun
// (or logging from being switched on).
std::vector<Lines> expectedLogs(Steps steps, const Seen& seen, bool saved, bool unsure,
                                bool silent) {
  const Lines start = {"Hushlink plugin version 0,6", "Initializing Hushlink"};
  std::vector<Lines> logs;
  if (silent) logs.push_back({});
  switch (steps) {
    case Steps::Session: {
      Lines lines = start;
      lines.push_back("Opening Hushlink.");
      const std::vector<std::uint32_t> reads = expectedReads(steps, seen.init == 0);
      for (int i = 0; i < writesInSession(); ++i) {
        lines.push_back(accessLine("FW write mem ", addressOf(i), valueOf(i)));
        lines.push_back(accessLine("FW read mem ", addressOf(i), reads[i]));
      }
      lines.push_back(accessLine("FW read mem ", kFixedReadAddress, kFixedReadValue));
      lines.push_back("Closing Hushlink.");
      logs.push_back(lines);
      break;
    }
    case Steps::Configure: {
      // A save that did not happen says so; a load that could not read the
      // file says so too, and then no save is tried.
      std::vector<Lines> ends =
          saved ? std::vector<Lines>{{}}
                : std::vector<Lines>{{kSaveFailed, ""}, {kSaveFailed, kSaveFailed, ""}};
      if (saved && unsure) ends.push_back({kSaveFailed, ""});
      for (const Lines& begun :
           silent ? std::vector<Lines>{start, {}} : std::vector<Lines>{start}) {
        for (const Lines& end : ends) {
          Lines lines = begun;
          lines.insert(lines.end(), end.begin(), end.end());
          logs.push_back(lines);
        }
      }
      break;
    }
    case Steps::InitAlone:  // logging stays off
    case Steps::About:      // the log is never opened
      logs.push_back({});
      break;
  }
  return logs;
}

std::string joined(const Lines& lines, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) text += lines[i] + kLineEnd;
  return text;
}

bool startsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// What a write that failed was handed: one line or more (a line and the
// empty one after it). It may be missing and, where `mayBeCut`, stand cut
// short, the piece on a line of its own or ending the file.
struct LostLine {
  std::string written;  // the bytes its write was handed, line ends and all
  bool mayBeCut = false;
};

// Whether the log from byte `at` holds exactly the expected lines from `j`
// on, but for the lost writes (each used once at most).
bool matchFrom(const std::string& log, std::size_t at, const Lines& expected, std::size_t j,
               const std::vector<LostLine>& lost, std::vector<bool>& used) {
  if (j == expected.size()) return at == log.size();
  const std::string line = expected[j] + kLineEnd;
  if (log.compare(at, line.size(), line) == 0 &&
      matchFrom(log, at + line.size(), expected, j + 1, lost, used)) {
    return true;
  }
  for (std::size_t i = 0; i < lost.size(); ++i) {
    if (used[i]) continue;
    // The expected lines the lost write held, from j on.
    std::string held;
    std::size_t after = j;
    while (after < expected.size() && held.size() < lost[i].written.size()) {
      held += expected[after++] + kLineEnd;
    }
    if (held != lost[i].written) continue;
    used[i] = true;
    bool matched = matchFrom(log, at, expected, after, lost, used);
    for (std::size_t piece = 1; !matched && lost[i].mayBeCut && piece < held.size(); ++piece) {
      if (at + piece > log.size() || log.compare(at, piece, held, 0, piece) != 0) break;
      if (at + piece == log.size()) {
        matched = after == expected.size();
      } else if (log.compare(at + piece, kLineEnd.size(), kLineEnd) == 0) {
        matched = matchFrom(log, at + piece + kLineEnd.size(), expected, after, lost, used);
      }
    }
    used[i] = false;
    if (matched) return true;
  }
  return false;
}

// Whether the log holds exactly `expected`, but for the lines whose own
// writes failed.
bool matchLog(const std::string& log, const Lines& expected, const std::vector<LostLine>& lost) {
  std::vector<bool> used(lost.size(), false);
  return matchFrom(log, 0, expected, 0, lost, used);
}

// Where the log first parts from what was expected, for a report.
std::string firstDifference(const std::string& log, const Lines& expected) {
  const std::string wanted = joined(expected, 0, expected.size());
  std::size_t at = 0;
  while (at < log.size() && at < wanted.size() && log[at] == wanted[at]) ++at;
  const std::size_t lineStart = log.rfind('\n', at == 0 ? 0 : at - 1);
  const std::size_t from = lineStart == std::string::npos || at == 0 ? 0 : lineStart + 1;
  return "from byte " + std::to_string(at) + " the log holds " + visible(log.substr(from, 90)) +
         " where " + visible(wanted.substr(from, 90)) + " was written";
}

// The alert that FWinit failed shows only while the log file is open,
// whether logging is on or off.
std::vector<std::string> expectedShown(const Scenario& s, const Seen& seen) {
  std::vector<std::string> texts;
  if (seen.init != 0 && s.logsFolder) texts.push_back(kAllocationAlert);
  if (s.steps == Steps::Configure) texts.push_back(kConfigureNotice);
  if (s.steps == Steps::About) texts.push_back(kAboutText);
  return texts;
}

std::string listed(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) out += (i > 0 ? ", " : "") + visible(texts[i]);
  return out + "]";
}

std::string listed(const std::vector<std::uint32_t>& values) {
  std::ostringstream out;
  out << std::hex << "[";
  for (std::size_t i = 0; i < values.size(); ++i) out << (i > 0 ? " " : "") << values[i];
  out << "]";
  return out.str();
}

std::vector<std::string> namesBeside(const std::string& file) {
  std::vector<std::string> names = folderEntries(fs::path(file).parent_path());
  names.erase(std::remove(names.begin(), names.end(), fs::path(file).filename().string()),
              names.end());
  return names;
}

class Problems {
 public:
  void expect(bool holds, const std::string& otherwise) {
    if (!holds) text_ += otherwise + "\n";
  }
  std::string text() const { return text_; }

 private:
  std::string text_;
};

// Whether `content` is `old` with `written` written over it from its start,
// whole or in part, cut to length or not.
bool overwritten(const std::string& content, const std::string& old, const std::string& written) {
  if (content.size() > std::max(old.size(), written.size())) return false;
  for (std::size_t i = 0; i < content.size(); ++i) {
    const bool fromOld = i < old.size() && content[i] == old[i];
    const bool fromWritten = i < written.size() && content[i] == written[i];
    if (!fromOld && !fromWritten) return false;
  }
  return true;
}

// The names and links a scenario's file must keep.
void checkNames(const Scenario& s, Problems& problems) {
  if (s.secondName != nullptr) {
    problems.expect(fileIdentity(s.secondName) == fileIdentity(s.file) &&
                        readFile(s.secondName) == readFile(s.file),
                    std::string(s.secondName) + " no longer names the settings file");
  }
  if (s.link != nullptr) {
    problems.expect(
        fs::is_symlink("inis/Hushlink.ini") && fs::read_symlink("inis/Hushlink.ini") == s.link,
        std::string("inis/Hushlink.ini is no longer a link to ") + s.link);
  }
}

// What the run left, judged by the rules above (the file as the run found
// it: `identity`, `metadata`).
void judge(const Scenario& s, const Plan& plan, const Reference* reference,
           const std::string& identity, const std::string& metadata, const Outcome& outcome,
           Problems& problems) {
  const Seen& seen = outcome.seen;
  problems.expect(faults::turnIsFree(s.file),
                  "another saver cannot have its turn: a lock is still held");
  // The calls that failed, as this run made them; the first is the
  // unfaulted run's call of that number.
  struct Failed {
    const Call* call;
    Fault fault;
  };
  std::vector<Failed> failures;
  for (const Fault& fault : {Fault{plan.k, plan.mode}, plan.second}) {
    if (fault.k <= 0) continue;
    if (fault.k > static_cast<long>(outcome.calls.size())) {
      problems.expect(false, "call " + std::to_string(fault.k) +
                                 " never came: the calls differ from run to run");
      continue;
    }
    const Call& call = outcome.calls[fault.k - 1];
    problems.expect(failures.size() > 0 || reference == nullptr ||
                        call.name == reference->outcome.calls[fault.k - 1].name,
                    "call " + std::to_string(fault.k) + " was " + call.detail +
                        ": the calls differ from run to run");
    failures.push_back({&call, fault});
  }
  // A failure that did something: an interruption or a short transfer is
  // the caller's to finish.
  const auto told = [](const Failed& f) {
    return f.fault.mode == Mode::Error || f.fault.mode == Mode::ShortThenFull;
  };
  const auto failedAs = [&](Role role) {
    return std::any_of(failures.begin(), failures.end(),
                       [&](const Failed& f) { return f.call->role == role && told(f); });
  };

  if (reference != nullptr && !failures.empty() &&
      std::none_of(failures.begin(), failures.end(), told)) {
    const Seen& unfaulted = reference->outcome.seen;
    problems.expect(seen.init == unfaulted.init && seen.reads == unfaulted.reads,
                    "FWinit or the registers are not as in the unfaulted run");
    problems.expect(seen.log == unfaulted.log,
                    "the log is not as in the unfaulted run: " + visible(seen.log.substr(0, 200)));
    problems.expect(seen.shown == unfaulted.shown && seen.stray == unfaulted.stray,
                    "the messages are not as in the unfaulted run: " + listed(seen.shown) +
                        visible(seen.stray));
    problems.expect(seen.settings == unfaulted.settings,
                    "the settings file is not as in the unfaulted run: " + visible(seen.settings));
  }

  // Registers: FWinit fails only for want of its store.
  const bool storeLost = std::any_of(failures.begin(), failures.end(), [&](const Failed& f) {
    return f.call->role == Role::Allocation && f.call->size == kStoreSize && told(f);
  });
  if (s.steps != Steps::About) {
    problems.expect(seen.init == (storeLost ? -1 : 0),
                    "FWinit returned " + std::to_string(seen.init));
  }
  const std::vector<std::uint32_t> reads = expectedReads(s.steps, seen.init == 0);
  problems.expect(seen.reads == reads,
                  "the registers read " + listed(seen.reads) + ", not " + listed(reads));

  // The settings file: old or new, whole, and what it carries kept. A
  // rewrite in place (a file with a second name) that failed twice is the
  // exception: one whose old content could not be read first, and so cannot
  // be put back, or whose putting back failed as well, may leave the new
  // content written over the old, whole or in part; and one whose new
  // content is there but could not be synced says the save failed. The
  // README lists it among what the plugin cannot promise.
  const bool twiceInPlace = s.secondName != nullptr && plan.second.k > 0;
  const bool saved = seen.settings == s.after && s.after != s.before;
  problems.expect(
      seen.settings == s.before || seen.settings == s.after ||
          (twiceInPlace && overwritten(seen.settings, s.before, s.after)),
      "the settings file holds neither its old line nor the new one: " + visible(seen.settings));
  if (s.before != "<missing>") {
    const std::string carried = fileMetadata(s.file);
    problems.expect(carried == metadata,
                    "the settings file carries " + carried + ", not " + metadata);
    if (seen.settings == s.before) {
      problems.expect(fileIdentity(s.file) == identity, "a save that failed replaced the file");
    }
  }
  checkNames(s, problems);
  const std::vector<std::string> beside = namesBeside(s.file);
  problems.expect(
      beside.empty() ||
          beside == std::vector<std::string>{fs::path(s.file).filename().string() + ".new"},
      "beside the settings file: " + listed(beside));

  // The log.
  problems.expect(seen.log.find('\0') == std::string::npos, "the log holds a NUL byte");
  // A failure before the log's first write may have kept it from being
  // begun.
  long firstLogWrite = LONG_MAX;
  for (std::size_t i = 0; i < outcome.calls.size(); ++i) {
    if (outcome.calls[i].role == Role::LogWrite) {
      firstLogWrite = static_cast<long>(i) + 1;
      break;
    }
  }
  const bool silent = std::any_of(failures.begin(), failures.end(), [&](const Failed& f) {
    return f.fault.mode == Mode::Error && f.fault.k < firstLogWrite;
  });
  // A line whose write failed may be missing: one cut short is taken back.
  // Only where its take-back failed as well may its piece stay: the other
  // failure of a pair came after the write and before the log's next one
  // (the take-back's own calls), or before the log's first write, while the
  // log was set up (on Windows the take-back needs the appenders' turn,
  // which such a failure can leave the session without).
  std::vector<LostLine> lost;
  for (const Failed& f : failures) {
    if (f.call->role != Role::LogWrite || !told(f)) continue;
    LostLine line{f.call->written, false};
    for (const Failed& other : failures) {
      if (f.fault.mode != Mode::ShortThenFull || &other == &f) continue;
      if (other.fault.k < f.fault.k) {
        line.mayBeCut = line.mayBeCut || other.fault.k < firstLogWrite;
        continue;
      }
      bool beforeTheNextWrite = true;
      for (long k = f.fault.k + 1; k < other.fault.k; ++k) {
        if (outcome.calls[k - 1].role == Role::LogWrite) beforeTheNextWrite = false;
      }
      line.mayBeCut = line.mayBeCut || beforeTheNextWrite;
    }
    lost.push_back(line);
  }
  const std::vector<Lines> logs = expectedLogs(s.steps, seen, saved, twiceInPlace, silent);
  const bool logMatches = std::any_of(logs.begin(), logs.end(), [&](const Lines& expected) {
    return matchLog(seen.log, expected, lost);
  });
  problems.expect(logMatches, "the log is not what the plugin wrote: " +
                                  firstDifference(seen.log, logs.back()));

  // Messages: each shown once.
  // Without the converter, or the memory to convert, the text shows as it
  // is stored.
  const std::vector<std::string> shown = expectedShown(s, seen);
  std::vector<std::string> unconverted = shown;
  std::replace(unconverted.begin(), unconverted.end(), std::string(kAboutText),
               std::string(kAboutUnconverted));
  const bool mayBeUnconverted = failedAs(Role::Conversion) || failedAs(Role::Allocation);
  // A message whose own output failed may be lost.
  std::vector<std::vector<std::string>> mayShow = {shown};
  if (mayBeUnconverted) mayShow.push_back(unconverted);
  for (const Failed& f : failures) {
    if (f.call->role != Role::Message || !told(f)) continue;
    for (std::size_t v = 0, count = mayShow.size(); v < count; ++v) {
      std::vector<std::string> without = mayShow[v];
      const auto lost = std::find_if(without.begin(), without.end(), [&](const std::string& text) {
        return f.call->written.find(text) != std::string::npos;
      });
      if (lost == without.end()) continue;
      without.erase(lost);
      mayShow.push_back(without);
    }
  }
  const auto cutMessage = [&](const std::string& stray) {
    return std::any_of(failures.begin(), failures.end(), [&](const Failed& f) {
      return f.call->role == Role::Message && f.fault.mode == Mode::ShortThenFull &&
             stray.size() < f.call->written.size() && startsWith(f.call->written, stray);
    });
  };
  problems.expect(std::find(mayShow.begin(), mayShow.end(), seen.shown) != mayShow.end(),
                  "shown " + listed(seen.shown) + ", not " + listed(shown));
  problems.expect(seen.stray.empty() || cutMessage(seen.stray),
                  "beside the messages: " + visible(seen.stray));
}

// One run of the scenario in a fresh working folder, the module loaded
// afresh; `reference` is null for the unfaulted run that numbers the calls.
Outcome runScenario(const Scenario& s, const Plan& plan, const Reference* reference) {
  Outcome outcome;
  Problems problems;
  const TempWorkingDirectory directory;
  const Arranged arranged = s.arrange();
  if (!arranged.notHere.empty()) {
    outcome.notHere = arranged.notHere;
    return outcome;
  }
  const std::string identity = fileIdentity(s.file);
  const std::string metadata = fileMetadata(s.file);
  Seen& seen = outcome.seen;
  faults::MessageWatch messages(s.desktop);
  const CapturedOutput console(1);
  const std::size_t handles = faults::openHandles();
  {
    LoadedModule plugin;
    plugin.skipShutdownAtUnload();
    faults::Injector injector;
    injector.plan(plan);
    runSteps(s.steps, plugin, injector, seen);
    outcome.calls = injector.calls();
    seen.shown = messages.shown();
    seen.stray = messages.stray();
    seen.log = readFile("logs/Hushlink.log");
    if (seen.log == "<missing>") seen.log.clear();
    seen.settings = readFile(s.file);
    judge(s, plan, reference, identity, metadata, outcome, problems);
    // Later calls in the same process work: a retried FWinit, its store,
    // Configure's save.
    injector.plan(Plan{});
    messages.restart();
    Later& later = outcome.later;
    injector.during("FWinit", [&] { later.init = plugin.FWinit(); });
    injector.during("FWwrite32", [&] { plugin.FWwrite32(kLaterAddress, kLaterValue); });
    injector.during("FWread32", [&] { later.read = plugin.FWread32(kLaterAddress); });
    injector.during("FWconfigure", [&] { plugin.FWconfigure(); });
    injector.during("FWshutdown", [&] { plugin.FWshutdown(); });
    injector.during("FWshutdown", [&] { plugin.FWshutdown(); });
    later.shown = messages.shown();
    later.log = readFile("logs/Hushlink.log");
    if (later.log == "<missing>") later.log.clear();
  }
  problems.expect(faults::openHandles() == handles,
                  "after FWshutdown and unload " + std::to_string(faults::openHandles() - handles) +
                      " more descriptors are open than before");
  const Later& later = outcome.later;
  problems.expect(later.init == 0 && later.read == kLaterValue,
                  "a later FWinit returned " + std::to_string(later.init) +
                      " and a register written after it read " + std::to_string(later.read));
  const std::string laterLog = s.logging != 0 && s.logsFolder
                                   ? lines({"Hushlink plugin version 0,6", "Initializing Hushlink",
                                            accessLine("FW write mem ", kLaterAddress, kLaterValue),
                                            accessLine("FW read mem ", kLaterAddress, kLaterValue)})
                                   : "";
  problems.expect(later.log == laterLog,
                  "after a later FWinit the log holds " + visible(later.log.substr(0, 300)));
  problems.expect(later.shown == std::vector<std::string>{kConfigureNotice},
                  "a later FWconfigure showed " + listed(later.shown));
  const std::string saved = lines({s.logging != 0 ? "logging = 1" : "logging = 0"});
  const std::string content = readFile(s.file);
  problems.expect(content == saved,
                  "a later FWconfigure left the settings file holding " + visible(content));
  if (s.before != "<missing>") {
    const std::string carried = fileMetadata(s.file);
    problems.expect(carried == metadata, "after a later FWconfigure the settings file carries " +
                                             carried + ", not " + metadata);
  }
  checkNames(s, problems);
  const std::vector<std::string> beside = namesBeside(s.file);
  problems.expect(beside.empty(),
                  "after a later FWconfigure, beside the settings file: " + listed(beside));
  outcome.problems = problems.text();
  return outcome;
}

Reference referenceRun(const Scenario& s) {
  Reference reference;
  reference.outcome = runScenario(s, Plan{}, nullptr);
  return reference;
}

// ---- the scenarios ----

Arranged settingsFile(const std::string& content) {
  writeFile("inis/Hushlink.ini", content);
  return {};
}

// A user's file as a user leaves it: written by hand, readable by its group
// only, and (as root) someone else's.
Arranged handWrittenFile() {
  settingsFile(kHandWritten);
  setOwnerAndPermissions("inis/Hushlink.ini");
  return {};
}

Arranged linkedFile() {
  fs::create_directory("real");
  writeFile("real/Hushlink.ini", kHandWritten);
  return makeSymbolicLink("inis/Hushlink.ini", "../real/Hushlink.ini");
}

Arranged hardLinkedFile() {
  settingsFile(kHandWritten);
  fs::create_directory("backup");
  fs::create_hard_link("inis/Hushlink.ini", "backup/Hushlink.ini");
  return {};
}

// An access list and a user attribute on Linux, the hidden attribute on
// Windows: whichever the platform's files carry.
Arranged fileWithAttributes() {
  settingsFile(kHandWritten);
  Arranged attributes = addAccessListAndAttribute("inis/Hushlink.ini");
  if (attributes.notHere.empty()) return attributes;
  Arranged hidden = setHiddenAttribute("inis/Hushlink.ini");
  if (hidden.notHere.empty()) return hidden;
  return Arranged::cannot(attributes.notHere + "; " + hidden.notHere);
}

const std::string kSaved = lines({"logging = 1"});

const Scenario kScenarios[] = {
    {.name = "Session",
     .steps = Steps::Session,
     .arrange = [] { return settingsFile(kLoggingOn); },
     .before = kLoggingOn,
     .after = kLoggingOn},
    {.name = "ConfigurePlainFile",
     .steps = Steps::Configure,
     .arrange = handWrittenFile,
     .before = kHandWritten,
     .after = kSaved,
     .pairs = true},
    {.name = "ConfigureSymbolicLink",
     .steps = Steps::Configure,
     .arrange = linkedFile,
     .before = kHandWritten,
     .after = kSaved,
     .file = "real/Hushlink.ini",
     .link = "../real/Hushlink.ini",
     .pairs = true},
    {.name = "ConfigureHardLinkedFile",
     .steps = Steps::Configure,
     .arrange = hardLinkedFile,
     .before = kHandWritten,
     .after = kSaved,
     .secondName = "backup/Hushlink.ini",
     .pairs = true},
    {.name = "ConfigureFileWithAttributes",
     .steps = Steps::Configure,
     .arrange = fileWithAttributes,
     .before = kHandWritten,
     .after = kSaved,
     .pairs = true},
    {.name = "InitWithoutSettingsFile",
     .steps = Steps::InitAlone,
     .arrange = [] { return Arranged{}; },
     .before = "<missing>",
     .after = lines({"logging = 0"}),
     .logging = 0,
     .pairs = true},
    // Logging on, but nowhere to log to.
    {.name = "InitWithoutALogsFolder",
     .steps = Steps::InitAlone,
     .arrange =
         [] {
           fs::remove("logs");
           return settingsFile(kLoggingOn);
         },
     .before = kLoggingOn,
     .after = kLoggingOn,
     .logsFolder = false},
    {.name = "About",
     .steps = Steps::About,
     .arrange = [] { return settingsFile(kLoggingOn); },
     .before = kLoggingOn,
     .after = kLoggingOn},
    {.name = "AboutThroughADialogProgram",
     .steps = Steps::About,
     .arrange = [] { return settingsFile(kLoggingOn); },
     .before = kLoggingOn,
     .after = kLoggingOn,
     .desktop = true,
     .notOnWindows = "Windows shows its own message box, which the About row answers"},
};

const Scenario& scenarioNamed(std::string_view name) {
  for (const Scenario& s : kScenarios) {
    if (name == s.name) return s;
  }
  throw std::logic_error("no scenario " + std::string(name));
}

std::string faultAsked() {
  const char* asked = std::getenv("HUSHLINK_FAULT");
  return asked != nullptr ? asked : "";
}

// HUSHLINK_FAULT=list: each scenario's calls, numbered, with the modes each
// is failed in, instead of the runs.
bool listingCalls() { return faultAsked() == "list"; }

// The run HUSHLINK_FAULT asks for alone, NUMBER:MODE or, for a pair,
// NUMBER:MODE+NUMBER:MODE; false when it is unset.
bool onlyRun(Plan& plan) {
  const std::string text = faultAsked();
  if (text.empty()) return false;
  const auto parse = [&](const std::string& part, Fault& fault) {
    const std::size_t colon = part.find(':');
    if (colon == std::string::npos || colon == 0 || part.find_first_not_of("0123456789") != colon ||
        !faults::modeNamed(part.substr(colon + 1), fault.mode)) {
      throw std::invalid_argument(
          "HUSHLINK_FAULT is NUMBER:MODE or NUMBER:MODE+NUMBER:MODE, as a report names them");
    }
    fault.k = std::stol(part.substr(0, colon));
  };
  const std::size_t plus = text.find('+');
  Fault first;
  parse(text.substr(0, plus), first);
  plan.k = first.k;
  plan.mode = first.mode;
  if (plus != std::string::npos) parse(text.substr(plus + 1), plan.second);
  return true;
}

// A run to make, with what its failing calls are, for its report.
struct Planned {
  Plan plan;
  std::string firstDetail;   // as the unfaulted run made it
  std::string secondDetail;  // as the run with the first failure made it
};

std::string faultNamed(const Fault& fault) {
  return std::to_string(fault.k) + ":" + faults::nameOf(fault.mode);
}

std::string describe(const Scenario& s, const Planned& run) {
  const Plan& plan = run.plan;
  std::string text = std::string(s.name) + ": call " + std::to_string(plan.k) + ", " +
                     run.firstDetail + ", failed as " + faults::nameOf(plan.mode);
  std::string asked = faultNamed({plan.k, plan.mode});
  if (plan.second.k > 0) {
    text += ", then call " + std::to_string(plan.second.k) + ", " + run.secondDetail +
            ", failed as " + faults::nameOf(plan.second.mode);
    asked += "+" + faultNamed(plan.second);
  }
  return text + " [HUSHLINK_FAULT=" + asked + "]";
}

Planned single(const std::vector<Call>& calls, long k, Mode mode) {
  const std::string detail = k >= 1 && k <= static_cast<long>(calls.size())
                                 ? calls[k - 1].detail
                                 : std::string("(no such call)");
  return {Plan{k, mode, {}}, detail, {}};
}

// Which second failures a pair adds to a first one; null: none.
using Seconds = std::function<bool(const Call& first, const Call& second)>;

// The pairs that follow from the run in which `first` failed alone: each
// call that the first failure's cleanup makes after it, within the same
// entry point, failed in each way that fits it and tells: its usual error,
// or a short write that then finds the disk full. An interruption or a
// short transfer is retried where it happens, which the single runs show
// changes nothing, so neither is tried as a first failure (it has no
// cleanup) nor as a second one.
//
// Left out: a second failure that is an allocation. A failed allocation
// throws bad_alloc from the module's operator new; where that is the first
// C++ exception of a thread in a host written in C, the C++ runtime has no
// memory for its per-thread exception data, and the dynamic loader ends the
// process ("cannot allocate memory for thread-local data", status 127).
// Under Wine the runtime linked into the DLL also takes a handle to the
// thread (DuplicateHandle of the current thread's pseudo-handle) the first
// time the thread throws, and aborts where it cannot: left out as well.
// Both are the runtime's failures, not the module's (see the README's list
// of what the plugin cannot promise).
bool throwsMachinery(const Call& call) {
  return call.name == "DuplicateHandle" && endsWith(call.object, "fffffffe");
}

std::vector<Planned> pairsAfter(const Planned& first, const std::vector<Call>& calls,
                                const Seconds& seconds) {
  std::vector<Planned> pairs;
  const Plan& plan = first.plan;
  if (plan.mode != Mode::Error && plan.mode != Mode::ShortThenFull) return pairs;
  if (plan.k < 1 || plan.k > static_cast<long>(calls.size())) return pairs;
  const Call& failed = calls[plan.k - 1];
  for (std::size_t i = static_cast<std::size_t>(plan.k); i < calls.size(); ++i) {
    const Call& call = calls[i];
    if (call.entry != failed.entry) break;
    if (call.role == Role::Allocation || throwsMachinery(call) || !seconds(failed, call)) continue;
    for (const Mode mode : call.modes) {
      if (mode != Mode::Error && mode != Mode::ShortThenFull) continue;
      Planned pair = first;
      pair.plan.second = {static_cast<long>(i) + 1, mode};
      pair.secondDetail = call.detail;
      pairs.push_back(pair);
    }
  }
  return pairs;
}

// What one run must show beyond the sweep's rules; empty when it does.
using Shows = std::function<std::string(const Outcome& run, const Planned& planned)>;

// What the runs came to.
struct Swept {
  std::size_t runs = 0;
  std::size_t pairs = 0;
  std::size_t failed = 0;
  std::string failures;  // the first failed runs, each described, with what broke
};

// A run's report: "PAIRS FAILED", this mark, and the failures described.
constexpr char kReportFollows = '\x1e';
constexpr std::size_t kMostReported = 25;

// Makes each run, each judged; with `seconds`, each pair that follows from a
// single run is made right after it by whoever made the single run (its
// process on POSIX, the one of the two processes under Wine), so the pairs
// are shared out with the singles.
Swept runPlanned(const Scenario& s, const Reference& reference, const std::vector<Planned>& runs,
                 const Seconds& seconds, const Shows& shows) {
  const std::vector<std::string> reports = faults::runEach(
      runs.size(),
      [&](std::size_t i) {
        std::size_t pairs = 0;
        std::size_t failed = 0;
        std::string failures;
        const auto judged = [&](const Planned& planned) {
          if (const char* trace = std::getenv("HUSHLINK_FAULT_TRACE")) {
            if (std::FILE* out = std::fopen(trace, "a")) {
              std::fprintf(out, "%s\n", describe(s, planned).c_str());
              std::fclose(out);
            }
          }
          Outcome run = runScenario(s, planned.plan, &reference);
          const std::string report = run.problems + (shows ? shows(run, planned) : "");
          if (!report.empty() && ++failed <= kMostReported) {
            failures += describe(s, planned) + "\n" + report;
          }
          return run;
        };
        const Outcome first = judged(runs[i]);
        if (seconds && runs[i].plan.second.k == 0) {
          for (const Planned& pair : pairsAfter(runs[i], first.calls, seconds)) {
            ++pairs;
            judged(pair);
          }
        }
        return std::to_string(pairs) + " " + std::to_string(failed) + kReportFollows + failures;
      },
      [&](std::size_t i) { return describe(s, runs[i]); });
  Swept swept;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const std::string& report = reports[i];
    const std::size_t mark = report.find(kReportFollows);
    std::size_t pairs = 0;
    std::size_t failed = 1;
    std::string failures =
        describe(s, runs[i]) + " (with the pairs that follow from it)\n" + report;
    if (mark != std::string::npos) {
      std::istringstream(report.substr(0, mark)) >> pairs >> failed;
      failures = report.substr(mark + 1);
    }
    swept.runs += 1 + pairs;
    swept.pairs += pairs;
    if (failed > 0 && swept.failed < kMostReported) swept.failures += failures;
    swept.failed += failed;
  }
  return swept;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryCallFailedOnceLeavesEveryOutcomeWhole) {
  const Scenario& s = GetParam();
  const std::string why = faults::unavailable();
  ASSERT_EQ(why, "");
  if (kOnWindows && s.notOnWindows != nullptr) {
    GTEST_SKIP() << "Not on this platform: " << s.notOnWindows;
  }
  const Reference reference = referenceRun(s);
  if (!reference.outcome.notHere.empty()) {
    GTEST_SKIP() << "Not on this platform: " << reference.outcome.notHere;
  }
  ASSERT_EQ(reference.outcome.problems, "") << "the unfaulted run";
  const std::vector<Call>& calls = reference.outcome.calls;
  ASSERT_FALSE(calls.empty()) << "the scenario makes no call to fail";
  if (s.after != s.before) {
    ASSERT_EQ(reference.outcome.seen.settings, s.after) << "the unfaulted run saves";
  }

  if (listingCalls()) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      std::printf("%s %zu %s", s.name, i + 1, calls[i].detail.c_str());
      for (const Mode mode : calls[i].modes) std::printf(" %s", faults::nameOf(mode));
      std::printf("\n");
    }
    return;
  }
  std::vector<Planned> runs;
  Plan only;
  const bool asked = onlyRun(only);
  if (asked) {
    const bool fits =
        only.k >= 1 && only.k <= static_cast<long>(calls.size()) &&
        std::count(calls[only.k - 1].modes.begin(), calls[only.k - 1].modes.end(), only.mode) > 0;
    if (!fits) GTEST_SKIP() << "HUSHLINK_FAULT names no call of this scenario that fails so";
    Planned run = single(calls, only.k, only.mode);
    run.plan.second = only.second;
    if (only.second.k > 0) run.secondDetail = "(as the run with the first failure made it)";
    runs.push_back(run);
  } else {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      for (const Mode mode : calls[i].modes) {
        runs.push_back(single(calls, static_cast<long>(i) + 1, mode));
      }
    }
  }
  // Pairs only where the settings file is loaded and saved (and, in rows, a
  // log line taken back): each pair is a run of its own, and the session's
  // hundreds of calls would take minutes.
  const bool pairs = s.pairs && !asked && !shortSweep();
  if (s.pairs && !asked && !pairs) {
    std::printf("HUSHLINK_FAULT_SWEEP=short: %s's pairs are left out\n", s.name);
  }
  const Seconds seconds = pairs ? Seconds([](const Call&, const Call&) { return true; }) : nullptr;
  const Swept swept = runPlanned(s, reference, runs, seconds, nullptr);
  EXPECT_EQ(swept.failed, 0u) << "runs that left something broken (" << swept.runs
                              << " runs: every call of " << calls.size()
                              << " failed in each way that fits it, and " << swept.pairs
                              << " pairs of a failure and one of its cleanup's calls):\n"
                              << swept.failures;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- failures once mishandled: each stays mended ----

struct Row {
  const char* name;
  friend void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }
  const char* scenario;
  // The calls to fail, each in a run of its own: those of the unfaulted run
  // that this matches.
  std::function<bool(const Call&)> calls;
  Mode mode;
  // What each run must show beyond the sweep's rules; empty when it does.
  std::function<std::string(const Outcome& run, const Outcome& unfaulted, const Call& failed)>
      shows;
  const char* notOnWindows = nullptr;
  // Pairs: after each run, a second run for each call among those that the
  // first failure's cleanup makes that this lets through, failed as well.
  Seconds then = nullptr;
};

// The lines of a log, each without its line end.
Lines logLines(const std::string& log) {
  Lines result;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (endsWith(line, "\r")) line.pop_back();
    result.push_back(line);
  }
  return result;
}

// The store's own allocation, the one failure FWinit reports.
bool storeAllocation(const Call& c) {
  return c.entryPoint == "FWinit" && c.role == Role::Allocation && c.size == kStoreSize;
}

bool holdsLine(const std::string& log, const std::string& line) {
  const Lines all = logLines(log);
  return std::find(all.begin(), all.end(), line) != all.end();
}

const Row kRows[] = {
    // Without memory for its store, FWinit fails and says so while its log
    // is open; every access is still logged, reads 0 and stores nothing, and
    // the fixed register still reads 8.
    {.name = "WithoutItsStoreFWinitFailsAlertsAndLogsEveryAccess",
     .scenario = "Session",
     .calls = storeAllocation,
     .mode = Mode::Error,
     .shows = [](const Outcome& run, const Outcome&, const Call&) -> std::string {
       std::string wrong;
       if (run.seen.init != -1) wrong += "FWinit returned " + std::to_string(run.seen.init) + "\n";
       if (run.seen.shown != std::vector<std::string>{kAllocationAlert}) {
         wrong += "shown " + listed(run.seen.shown) + "\n";
       }
       std::vector<std::uint32_t> reads(writesInSession(), 0);
       reads.push_back(kFixedReadValue);
       if (run.seen.reads != reads) wrong += "the registers read " + listed(run.seen.reads) + "\n";
       for (const std::string& line :
            {accessLine("FW write mem ", addressOf(0), valueOf(0)),
             accessLine("FW read mem ", addressOf(0), 0),
             accessLine("FW read mem ", kFixedReadAddress, kFixedReadValue)}) {
         if (!holdsLine(run.seen.log, line)) wrong += "the log lacks " + visible(line) + "\n";
       }
       return wrong;
     }},
    // With logging off the log file is open all the same, and the alert shows.
    {.name = "WithoutItsStoreAndWithLoggingOffFWinitStillAlerts",
     .scenario = "InitWithoutSettingsFile",
     .calls = storeAllocation,
     .mode = Mode::Error,
     .shows = [](const Outcome& run, const Outcome&, const Call&) -> std::string {
       return run.seen.init == -1 && run.seen.shown == std::vector<std::string>{kAllocationAlert}
                  ? ""
                  : "FWinit returned " + std::to_string(run.seen.init) + ", shown " +
                        listed(run.seen.shown);
     }},
    // Without a logs folder there is no log file, and no alert.
    {.name = "WithoutItsStoreOrALogsFolderFWinitFailsWithoutAlert",
     .scenario = "InitWithoutALogsFolder",
     .calls = storeAllocation,
     .mode = Mode::Error,
     .shows = [](const Outcome& run, const Outcome&, const Call&) -> std::string {
       return run.seen.init == -1 && run.seen.shown.empty()
                  ? ""
                  : "FWinit returned " + std::to_string(run.seen.init) + ", shown " +
                        listed(run.seen.shown);
     }},
    // A retry that gets its memory works, on a fresh log; shutting down twice
    // after it does no harm.
    {.name = "AfterFWinitFailedForItsStoreARetrySucceeds",
     .scenario = "Session",
     .calls = storeAllocation,
     .mode = Mode::Error,
     .shows = [](const Outcome& run, const Outcome&, const Call&) -> std::string {
       const std::string fresh = lines({"Hushlink plugin version 0,6", "Initializing Hushlink",
                                        accessLine("FW write mem ", kLaterAddress, kLaterValue),
                                        accessLine("FW read mem ", kLaterAddress, kLaterValue)});
       return run.later.init == 0 && run.later.read == kLaterValue && run.later.log == fresh
                  ? ""
                  : "the retried FWinit returned " + std::to_string(run.later.init) +
                        ", the register read " + std::to_string(run.later.read) +
                        ", the log holds " + visible(run.later.log);
     }},
    // A write cut short by a full disk used to leave the rest of its line
    // unwritten and the next line appended to the piece, and then the piece
    // on a line of its own: a line the plugin never wrote. It is taken back.
    {.name = "ALogLineCutShortIsTakenBack",
     .scenario = "Session",
     .calls =
         [](const Call& c) {
           return c.role == Role::LogWrite && startsWith(c.written, "FW write mem 0x100:");
         },
     .mode = Mode::ShortThenFull,
     .shows = [](const Outcome& run, const Outcome& unfaulted, const Call& failed) -> std::string {
       const std::string text = failed.written.substr(0, failed.written.size() - kLineEnd.size());
       Lines expected = logLines(unfaulted.seen.log);
       const auto cut = std::find(expected.begin(), expected.end(), text);
       if (cut == expected.end()) return "the unfaulted log has no line " + visible(text);
       expected.erase(cut);
       if (run.seen.log == joined(expected, 0, expected.size())) return "";
       return "the cut line is not simply absent: " + firstDifference(run.seen.log, expected);
     }},
    // Where taking the cut line back fails too (each call the take-back
    // makes, failed in turn), its piece is ended on a line of its own, and
    // every other line stays whole: the judge's rule for the log.
    {.name = "ALogLineCutShortWhoseTakeBackFailsLeavesOnlyItsPiece",
     .scenario = "Session",
     .calls =
         [](const Call& c) {
           return c.role == Role::LogWrite && startsWith(c.written, "FW write mem 0x100:");
         },
     .mode = Mode::ShortThenFull,
     .shows = [](const Outcome& run, const Outcome&, const Call& failed) -> std::string {
       const std::string text = failed.written.substr(0, failed.written.size() - kLineEnd.size());
       return holdsLine(run.seen.log, text) ? "the cut line is whole in the log" : "";
     },
     .then = [](const Call&, const Call&) { return true; }},
    // An interrupted open of the log used to give up on the log.
    {.name = "AnInterruptedLogOpenIsRetried",
     .scenario = "Session",
     .calls =
         [](const Call& c) {
           return c.name == "open" && c.detail.find("logs/Hushlink.log") != std::string::npos;
         },
     .mode = Mode::Interrupted,
     .shows = [](const Outcome& run, const Outcome& unfaulted, const Call&) -> std::string {
       return !run.seen.log.empty() && run.seen.log == unfaulted.seen.log ? "" : "the log was lost";
     },
     .notOnWindows = "Windows calls are not interrupted by signals"},
    // A host that ignores SIGCHLD, or reaps its children itself, takes the
    // dialog program's status: the box was shown, and the message used to
    // follow on standard error as well.
    {.name = "AHostThatReapsItsChildrenSeesTheMessageOnce",
     .scenario = "AboutThroughADialogProgram",
     .calls = [](const Call& c) { return c.name == "waitpid"; },
     .mode = Mode::Error,
     .shows = [](const Outcome& run, const Outcome&, const Call&) -> std::string {
       return run.seen.shown == std::vector<std::string>{kAboutText} && run.seen.stray.empty()
                  ? ""
                  : "shown " + listed(run.seen.shown);
     },
     .notOnWindows = "Windows shows its own message box, with no program to wait for"},
    // Without memory for the log's wide name (on Windows), FWinit used to
    // fail as if the store could not be had, and held the log file open
    // for good.
    {.name = "FWinitWithoutMemoryForANameSucceeds",
     .scenario = "Session",
     .calls =
         [](const Call& c) {
           return c.entryPoint == "FWinit" && c.role == Role::Allocation && c.size != kStoreSize;
         },
     .mode = Mode::Error,
     .shows = [](const Outcome& run, const Outcome&, const Call&) -> std::string {
       return run.seen.init == 0 ? "" : "FWinit returned " + std::to_string(run.seen.init);
     }},
    // Without memory for the notice's text, FWconfigure used to show
    // nothing, skip the save and say nothing of either.
    {.name = "ConfigureWithoutMemoryShowsItsNoticeAndSaves",
     .scenario = "ConfigurePlainFile",
     .calls =
         [](const Call& c) { return c.entryPoint == "FWconfigure" && c.role == Role::Allocation; },
     .mode = Mode::Error,
     .shows = [](const Outcome& run, const Outcome&, const Call&) -> std::string {
       return run.seen.shown.size() == 1 ? "" : "shown " + listed(run.seen.shown);
     }},
};

class FaultRow : public ::testing::TestWithParam<Row> {};

TEST_P(FaultRow, StaysMended) {
  const Row& row = GetParam();
  ASSERT_EQ(faults::unavailable(), "");
  if (kOnWindows && row.notOnWindows != nullptr) {
    GTEST_SKIP() << "Not on this platform: " << row.notOnWindows;
  }
  const Scenario& s = scenarioNamed(row.scenario);
  const Reference reference = referenceRun(s);
  ASSERT_EQ(reference.outcome.notHere, "");
  const std::vector<Call>& calls = reference.outcome.calls;
  std::vector<Planned> runs;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (!row.calls(calls[i])) continue;
    ASSERT_NE(std::find(calls[i].modes.begin(), calls[i].modes.end(), row.mode),
              calls[i].modes.end())
        << calls[i].detail << " cannot fail as " << faults::nameOf(row.mode);
    runs.push_back(single(calls, static_cast<long>(i) + 1, row.mode));
  }
  ASSERT_FALSE(runs.empty()) << "the scenario no longer makes such a call";
  const Swept swept =
      runPlanned(s, reference, runs, row.then, [&](const Outcome& run, const Planned& planned) {
        return row.shows(run, reference.outcome, calls[planned.plan.k - 1]);
      });
  EXPECT_EQ(swept.failed, 0u) << swept.failures;
  if (row.then) {
    EXPECT_GT(swept.pairs, 0u) << "no pair: the first failure's cleanup makes no such call";
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultRow, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- the save's order ----
//
// A save must leave, after a power cut at any moment, the old file or the new
// one, never neither and never a mix: the fresh file's data reaches the disk
// before it takes the file's name, and the new name is made to last; a
// rewrite in place, where one is chosen, reaches the disk before the save
// returns. These tests read the order of the calls a plain, unfaulted
// Configure makes, as the stand-ins saw them. They do not model the disk or
// prove what survives a power cut: they keep the order from drifting.

struct SaveCalls {
  const char* open;
  const char* sync;
  const char* move;  // the fresh file into place
  std::vector<std::string> writes;
};

const SaveCalls kSaveCalls =
    kOnWindows
        ? SaveCalls{"CreateFileW", "FlushFileBuffers", "MoveFileExW", {"WriteFile", "SetEndOfFile"}}
        : SaveCalls{"open", "fsync", "rename", {"write", "pwrite", "ftruncate"}};

// The FWconfigure calls of the scenario's unfaulted run.
std::vector<Call> configureCalls(const char* scenario) {
  const Reference reference = referenceRun(scenarioNamed(scenario));
  EXPECT_EQ(reference.outcome.problems, "");
  std::vector<Call> calls;
  for (const Call& call : reference.outcome.calls) {
    if (call.entryPoint == "FWconfigure") calls.push_back(call);
  }
  return calls;
}

// The first call at or after `from` that `matches`; calls.size() when none.
std::size_t findCall(const std::vector<Call>& calls, std::size_t from,
                     const std::function<bool(const Call&)>& matches) {
  while (from < calls.size() && !matches(calls[from])) ++from;
  return from;
}

bool writes(const Call& call, const std::string& object) {
  return call.object == object && call.role != Role::LogWrite &&
         std::count(kSaveCalls.writes.begin(), kSaveCalls.writes.end(), call.name) > 0;
}

std::string listedCalls(const std::vector<Call>& calls) {
  std::string text;
  for (const Call& call : calls) text += "  " + call.detail + "\n";
  return text;
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Replacing: the fresh file's data synced, then the move; on POSIX the
// folder synced after the rename, on Windows the move written through.
void expectTheReplacementsOrder() {
  const std::vector<Call> calls = configureCalls("ConfigurePlainFile");
  const std::size_t fresh = findCall(calls, 0, [](const Call& c) {
    return c.name == kSaveCalls.open && endsWith(c.text, ".new");
  });
  ASSERT_LT(fresh, calls.size()) << "no fresh file opened:\n" << listedCalls(calls);
  const std::string file = calls[fresh].gave;
  const std::size_t move =
      findCall(calls, fresh, [](const Call& c) { return c.name == kSaveCalls.move; });
  ASSERT_LT(move, calls.size()) << "the fresh file never moved into place:\n" << listedCalls(calls);
  std::size_t lastWrite = fresh;
  for (std::size_t i = fresh; i < move; ++i) {
    if (writes(calls[i], file)) lastWrite = i;
  }
  const std::size_t synced = findCall(calls, lastWrite, [&](const Call& c) {
    return c.name == kSaveCalls.sync && c.object == file;
  });
  EXPECT_LT(synced, move) << "the fresh file's data is not synced between its last write and "
                             "the move:\n"
                          << listedCalls(calls);
  for (std::size_t i = move; i < calls.size(); ++i) {
    EXPECT_FALSE(writes(calls[i], file)) << "written after the move: " << calls[i].detail;
  }
  if (kOnWindows) {
    constexpr unsigned long kWriteThrough = 0x8;  // MOVEFILE_WRITE_THROUGH
    EXPECT_NE(calls[move].flags & kWriteThrough, 0u)
        << "the move is not written through: " << calls[move].detail;
    return;
  }
  // The folder the file was renamed in, synced after the rename.
  const std::string& target = calls[move].text;
  const std::string folder = withoutTrailingSlashes(target.substr(0, target.find_last_of('/') + 1));
  const std::size_t folderSynced = findCall(calls, move, [&](const Call& c) {
    if (c.name != kSaveCalls.sync) return false;
    return findCall(calls, 0, [&](const Call& o) {
             return o.name == kSaveCalls.open && o.gave == c.object &&
                    withoutTrailingSlashes(o.text) == folder;
           }) < calls.size();
  });
  EXPECT_LT(folderSynced, calls.size())
      << "the folder " << visible(folder) << " is not synced after the rename:\n"
      << listedCalls(calls);
}

// Rewriting in place (a file with a second name): synced after its last
// write, before Configure returns, and no move.
void expectTheRewritesOrder() {
  const std::vector<Call> calls = configureCalls("ConfigureHardLinkedFile");
  std::size_t lastWrite = calls.size();
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (!calls[i].object.empty() && writes(calls[i], calls[i].object)) lastWrite = i;
  }
  ASSERT_LT(lastWrite, calls.size()) << "nothing rewritten:\n" << listedCalls(calls);
  const std::string file = calls[lastWrite].object;
  EXPECT_LT(findCall(calls, lastWrite,
                     [&](const Call& c) { return c.name == kSaveCalls.sync && c.object == file; }),
            calls.size())
      << "the rewritten file is not synced before Configure returns:\n"
      << listedCalls(calls);
  EXPECT_EQ(findCall(calls, 0, [](const Call& c) { return c.name == kSaveCalls.move; }),
            calls.size())
      << "a file with a second name was replaced:\n"
      << listedCalls(calls);
}

#ifdef _WIN32
TEST(SaveOrder, FlushedBeforeAMoveWrittenThroughAndInPlaceFlushedBeforeReturning) {
#else
TEST(SaveOrder, SyncedBeforeTheRenameTheFolderAfterItAndInPlaceSyncedBeforeReturning) {
#endif
  ASSERT_EQ(faults::unavailable(), "");
  expectTheReplacementsOrder();
  expectTheRewritesOrder();
}

// The list of calls stood in for follows the module: a call it starts to
// import is either failed here or named as left alone, with why.
TEST(FaultCalls, EveryImportIsFailedOrLeftAloneForAReason) {
  ASSERT_EQ(faults::unavailable(), "");
  const std::vector<std::string> imports = faults::moduleImports();
  ASSERT_FALSE(imports.empty());
  const std::vector<std::string> wrapped = faults::wrappedCalls();
  const std::set<std::string> stoodIn(wrapped.begin(), wrapped.end());
  std::vector<std::string> unaccounted;
  for (const std::string& name : imports) {
    if (stoodIn.count(name) == 0 && faults::callsLeftAlone().count(name) == 0) {
      unaccounted.push_back(name);
    }
  }
  EXPECT_EQ(unaccounted, std::vector<std::string>{})
      << "imported, but neither failed by these tests nor left alone for a reason";
  const std::set<std::string> imported(imports.begin(), imports.end());
  std::vector<std::string> stale;
  for (const std::string& name : wrapped) {
    if (imported.count(name) == 0) stale.push_back(name);
  }
  EXPECT_EQ(stale, std::vector<std::string>{}) << "stood in for, but no longer imported";
}

}  // namespace
}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
// The calls failed through the preloaded library (fault_preload.c), each run
// in a child process of its own.
#include <dlfcn.h>
#include <elf.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "plugin/settings/file_system.h"
#include "tests/plugin/fault_injection/fault_preload.h"
#include "tests/plugin/fault_injection/faults.h"
#include "tests/support/test_support.h"

namespace hushlink::testing::faults {

namespace fs = std::filesystem;

namespace {

// Long enough for a save that waits its whole turn; no run comes near it.
constexpr unsigned kLongestRunSeconds = 30;

constexpr Mode kModes[] = {Mode::Error, Mode::Interrupted, Mode::Short, Mode::ShortThenFull};

struct Controls {
  FaultWatchFn watch;
  FaultArmFn arm;
  FaultPlanFn plan;
  FaultCountFn count;
  FaultCallsFn calls;
  FaultWrappedFn wrapped;
};

template <typename Fn>
Fn control(const char* name) {
  return reinterpret_cast<Fn>(::dlsym(RTLD_DEFAULT, name));
}

const Controls& controls() {
  static const Controls found = {
      control<FaultWatchFn>("hushlinkFaultWatch"), control<FaultArmFn>("hushlinkFaultArm"),
      control<FaultPlanFn>("hushlinkFaultPlan"),   control<FaultCountFn>("hushlinkFaultCount"),
      control<FaultCallsFn>("hushlinkFaultCalls"), control<FaultWrappedFn>("hushlinkFaultWrapped")};
  return found;
}

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The bytes as C would write them, for a report.
std::string quoted(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

Role roleOf(const FaultCall& call, int logDescriptor) {
  const std::string_view name = call.name;
  if (name == "malloc" || name == "operator new") return Role::Allocation;
  if (name == "write" && call.descriptor >= 0 && call.descriptor == logDescriptor) {
    return Role::LogWrite;
  }
  if (name == "fprintf" && call.descriptor == STDERR_FILENO) return Role::Message;
  if (name == "iconv_open") return Role::Conversion;
  return Role::Other;
}

std::string detailOf(const FaultCall& call, Role role) {
  const bool opens = std::string_view(call.name) == "open";
  std::vector<std::string> given;
  if (call.descriptor >= 0 && !opens) given.push_back(std::to_string(call.descriptor));
  if (call.text[0] != '\0') {
    given.push_back(quoted(call.text));
  } else if (call.size > 0) {
    given.push_back(std::to_string(call.size) + " bytes");
  }
  std::string detail = std::string(call.name) + "(";
  for (std::size_t i = 0; i < given.size(); ++i) detail += (i > 0 ? ", " : "") + given[i];
  detail += ")";
  if (opens && call.descriptor >= 0) detail += " = " + std::to_string(call.descriptor);
  if (role == Role::LogWrite) detail += " to the log";
  return detail;
}

}  // namespace

std::string unavailable() {
  const Controls& found = controls();
  if (found.watch != nullptr && found.arm != nullptr && found.plan != nullptr &&
      found.count != nullptr && found.calls != nullptr && found.wrapped != nullptr) {
    return {};
  }
  return "the fault library is not preloaded: run through CTest, or with "
         "LD_PRELOAD=" HUSHLINK_FAULT_PRELOAD;
}

Injector::Injector() {
  if (controls().watch(HUSHLINK_MODULE) == 0) {
    throw std::runtime_error("the module " HUSHLINK_MODULE " is not loaded");
  }
  controls().plan(0, 0);
}

Injector::~Injector() {
  controls().arm(0);
  controls().plan(0, 0);
}

void Injector::plan(long k, Mode mode) {
  controls().plan(k, static_cast<int>(mode));
  entered_.clear();
}

void Injector::during(const char* name, const std::function<void()>& call) {
  entered_.emplace_back(controls().count() + 1, name);
  controls().arm(1);
  call();
  controls().arm(0);
}

std::vector<Call> Injector::calls() const {
  const long count = std::min<long>(controls().count(), kFaultMostRecorded);
  const FaultCall* recorded = controls().calls();
  std::vector<Call> calls;
  int logDescriptor = -1;
  std::size_t entry = 0;
  for (long i = 0; i < count; ++i) {
    const FaultCall& call = recorded[i];
    if (std::string_view(call.name) == "open" && endsWith(call.text, "logs/Hushlink.log")) {
      logDescriptor = call.descriptor;
    }
    while (entry + 1 < entered_.size() && entered_[entry + 1].first <= i + 1) ++entry;
    Call described;
    described.name = call.name;
    if (entry < entered_.size()) described.entryPoint = entered_[entry].second;
    described.role = roleOf(call, logDescriptor);
    described.detail = detailOf(call, described.role);
    described.size = static_cast<std::size_t>(call.size);
    if (described.role == Role::LogWrite || described.role == Role::Message) {
      described.written = call.text;
    }
    for (const Mode mode : kModes) {
      if ((call.modes & (1u << static_cast<unsigned>(mode))) != 0) described.modes.push_back(mode);
    }
    calls.push_back(std::move(described));
  }
  return calls;
}

// The stand-in dialog program records the text it was given ("--text=...",
// its fourth argument) and says the user pressed OK.
struct MessageWatch::Watch {
  std::string record;
  std::optional<ScopedEnvironment> desktop;
  CapturedOutput err{2};
};

MessageWatch::MessageWatch(bool desktop) : watch_(new Watch) {
  if (!desktop) {
    useHeadlessSession();
    return;
  }
  // On PATH as a relative folder: the calls made to find it are the same
  // in every run, whatever the working folder's name.
  const fs::path bin = fs::current_path() / "bin";
  fs::create_directory(bin);
  watch_->record = (fs::current_path() / "dialog.record").string();
  writeFile(bin / "zenity", "#!/bin/sh\nprintf '%s\\n' \"$4\" >> '" + watch_->record + "'\n");
  fs::permissions(bin / "zenity", fs::perms::owner_all);
  watch_->desktop.emplace(std::initializer_list<std::pair<const char*, const char*>>{
      {"DISPLAY", ":0"}, {"WAYLAND_DISPLAY", nullptr}, {"PATH", "bin"}});
}

MessageWatch::~MessageWatch() { delete watch_; }

namespace {

constexpr std::string_view kMessagePrefix = "Message: ";
constexpr std::string_view kDialogPrefix = "--text=";

}  // namespace

std::vector<std::string> MessageWatch::shown() const {
  std::vector<std::string> texts;
  if (!watch_->record.empty() && fs::exists(watch_->record)) {
    std::istringstream dialogs(readFile(watch_->record));
    for (std::string line; std::getline(dialogs, line);) {
      texts.push_back(line.rfind(kDialogPrefix, 0) == 0 ? line.substr(kDialogPrefix.size()) : line);
    }
  }
  const std::string err = watch_->err.sofar();
  for (std::size_t at = 0; at < err.size();) {
    const std::size_t end = err.find('\n', at);
    if (end == std::string::npos) break;
    const std::string line = err.substr(at, end - at);
    if (line.rfind(kMessagePrefix, 0) == 0) texts.push_back(line.substr(kMessagePrefix.size()));
    at = end + 1;
  }
  return texts;
}

std::string MessageWatch::stray() const {
  std::string stray;
  const std::string err = watch_->err.sofar();
  for (std::size_t at = 0; at < err.size();) {
    std::size_t end = err.find('\n', at);
    const bool whole = end != std::string::npos;
    if (!whole) end = err.size();
    const std::string_view line(err.data() + at, end - at);
    if (!whole || line.rfind(kMessagePrefix, 0) != 0)
      stray += std::string(line) + (whole ? "\n" : "");
    at = end + 1;
  }
  return stray;
}

std::size_t openHandles() { return openFileCount(); }

// A lock on the folder belongs to the descriptor that took it: one left by
// this process refuses a fresh descriptor of this process too.
bool turnIsFree(const std::string& file) {
  files::Target target;
  target.path = file;
  files::TurnHandle turn;
  NoPatience patience;
  return files::takeTurn(target, patience, turn) == files::Result::Done;
}

std::vector<std::string> runEach(std::size_t count,
                                 const std::function<std::string(std::size_t)>& run,
                                 const std::function<std::string(std::size_t)>&) {
  std::vector<std::string> reports(count);
  char folderName[] = "/tmp/hushlink-faults-XXXXXX";
  if (::mkdtemp(folderName) == nullptr) throw std::runtime_error("no folder for the reports");
  const fs::path folder = folderName;
  const std::size_t together = std::max(2u, std::thread::hardware_concurrency());
  std::map<pid_t, std::size_t> running;
  std::size_t next = 0;
  while (next < count || !running.empty()) {
    while (next < count && running.size() < together) {
      std::fflush(nullptr);
      const pid_t child = ::fork();
      if (child < 0) throw std::runtime_error("cannot start a run");
      if (child == 0) {
        ::alarm(kLongestRunSeconds);
        const std::string report = run(next);
        std::ofstream(folder / std::to_string(next), std::ios::binary) << report;
        ::_exit(0);
      }
      running[child] = next++;
    }
    int status = 0;
    const pid_t ended = ::waitpid(-1, &status, 0);
    if (ended < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("lost track of the runs");
    }
    const auto found = running.find(ended);
    if (found == running.end()) continue;
    const std::size_t index = found->second;
    running.erase(found);
    std::string& report = reports[index];
    report = readFile(folder / std::to_string(index));
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
      report = "the run hung: still going after " + std::to_string(kLongestRunSeconds) + " s";
    } else if (WIFSIGNALED(status)) {
      report = std::string("the process died of ") + ::strsignal(WTERMSIG(status));
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      report = "the process exited with status " + std::to_string(WEXITSTATUS(status));
    } else if (report == "<missing>") {
      report = "the run reported nothing";
    }
  }
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  return reports;
}

namespace {

// The symbols the module's image takes from other objects: the undefined,
// non-weak entries of its dynamic symbol table, without their versions.
std::vector<std::string> undefinedSymbols(const std::string& image) {
  std::vector<std::string> names;
  if (image.size() < sizeof(Elf64_Ehdr)) return names;
  Elf64_Ehdr header;
  std::memcpy(&header, image.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) {
    return names;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const std::size_t at = header.e_shoff + i * header.e_shentsize;
    if (at + sizeof(Elf64_Shdr) > image.size()) return names;
    std::memcpy(&sections[i], image.data() + at, sizeof(Elf64_Shdr));
  }
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_type != SHT_DYNSYM || section.sh_link >= sections.size()) continue;
    const Elf64_Shdr& strings = sections[section.sh_link];
    for (std::size_t at = section.sh_offset;
         at + sizeof(Elf64_Sym) <= section.sh_offset + section.sh_size; at += sizeof(Elf64_Sym)) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, image.data() + at, sizeof symbol);
      if (symbol.st_shndx != SHN_UNDEF || symbol.st_name == 0) continue;
      if (ELF64_ST_BIND(symbol.st_info) == STB_WEAK) continue;
      names.emplace_back(image.c_str() + strings.sh_offset + symbol.st_name);
    }
  }
  return names;
}

}  // namespace

std::vector<std::string> moduleImports() { return undefinedSymbols(readFile(HUSHLINK_MODULE)); }

std::vector<std::string> wrappedCalls() {
  std::vector<std::string> names;
  if (controls().wrapped == nullptr) return names;
  for (const char* const* name = controls().wrapped(); *name != nullptr; ++name) {
    names.emplace_back(*name);
  }
  return names;
}

const std::map<std::string, std::string>& callsLeftAlone() {
  static const std::map<std::string, std::string> kLeftAlone = [] {
    std::map<std::string, std::string> calls;
    const auto because = [&](const char* why, std::initializer_list<const char*> names) {
      for (const char* name : names) calls[name] = why;
    };
    because("gives memory back, which cannot fail", {"free", "_ZdlPvm"});
    because("works on memory the caller holds, with nothing to fail",
            {"memchr", "memcmp", "memcpy", "memmove", "memset", "strcmp", "strlen", "snprintf",
             "vsnprintf", "iconv", "iconv_close", "nl_langinfo_l", "freelocale"});
    because("reads the environment, which cannot fail", {"getenv", "environ", "__environ"});
    because("answers for an open stream, which cannot fail", {"fileno"});
    because("unbuffering a stream allocates nothing and cannot fail", {"setvbuf"});
    because("the streams themselves, not calls", {"stdout", "stderr"});
    because(
        "the thread's signal mask and pending set, not files, memory or processes; they "
        "fail only on arguments the module never passes",
        {"sigemptyset", "sigaddset", "sigismember", "sigpending", "pthread_sigmask",
         "sigtimedwait"});
    because("a pause between tries for a turn: cut short, it only tries sooner", {"nanosleep"});
    because("the language runtime's own machinery",
            {"__cxa_atexit", "__cxa_begin_catch", "__cxa_end_catch", "__cxa_rethrow",
             "__gxx_personality_v0", "_Unwind_Resume", "__errno_location",
             "_ZNSt6chrono3_V212steady_clock3nowEv", "_ZSt17__throw_bad_allocv",
             "_ZSt19__throw_logic_errorPKc", "_ZSt20__throw_length_errorPKc", "_ZTISt9bad_alloc",
             "_ZTVN10__cxxabiv117__class_type_infoE", "_ZTVN10__cxxabiv120__si_class_type_infoE"});
    return calls;
  }();
  return kLeftAlone;
}

}  // namespace hushlink::testing::faults

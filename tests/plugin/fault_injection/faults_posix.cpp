// SPDX-License-Identifier: GPL-2.0-or-later
// The calls failed through the preloaded library (fault_preload.c), each run
// in a child process of its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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

Role roleOf(const FaultCall& call, int logDescriptor) {
  const std::string_view name = call.name;
  if (name == "malloc" || name == "calloc" || name == "operator new") return Role::Allocation;
  if (name == "write" && call.descriptor >= 0 && call.descriptor == logDescriptor) {
    return Role::LogWrite;
  }
  if (name == "fprintf" && call.descriptor == STDERR_FILENO) return Role::Message;
  if (name == "iconv_open") return Role::Conversion;
  return Role::Other;
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
  plan(Plan{});
}

Injector::~Injector() {
  controls().arm(0);
  plan(Plan{});
}

void Injector::plan(const Plan& plan) {
  const long calls[kFaultMostPlanned] = {plan.k, plan.second.k};
  const int modes[kFaultMostPlanned] = {static_cast<int>(plan.mode),
                                        static_cast<int>(plan.second.mode)};
  controls().plan(calls, modes);
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
  std::vector<Record> records;
  int logDescriptor = -1;
  for (long i = 0; i < count; ++i) {
    const FaultCall& call = recorded[i];
    const bool opens = std::string_view(call.name) == "open";
    if (opens && endsWith(call.text, "logs/Hushlink.log")) logDescriptor = call.descriptor;
    Record record;
    record.name = call.name;
    record.role = roleOf(call, logDescriptor);
    // open names the descriptor it gave; the others the one they work on.
    if (call.descriptor >= 0)
      (opens ? record.gave : record.object) = std::to_string(call.descriptor);
    record.text = call.text;
    record.size = static_cast<std::size_t>(call.size);
    for (const Mode mode : kModes) {
      if ((call.modes & (1u << static_cast<unsigned>(mode))) != 0) record.modes.push_back(mode);
    }
    records.push_back(std::move(record));
  }
  return describedCalls(records, entered_);
}

// The stand-in dialog program records the text it was given ("--text=...",
// its fourth argument) and says the user pressed OK.
struct MessageWatch::Watch {
  std::string record;
  std::optional<ScopedEnvironment> desktop;
  CapturedOutput err{2};
  // Where what is watched begins, after restart(): in the record, and on
  // standard error.
  std::size_t recordFrom = 0;
  std::size_t errFrom = 0;
  std::string records() const {
    if (record.empty() || !fs::exists(record)) return {};
    return readFile(record).substr(recordFrom);
  }
  std::string errors() const { return err.sofar().substr(errFrom); }
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

void MessageWatch::restart() {
  watch_->recordFrom += watch_->records().size();
  watch_->errFrom = watch_->err.sofar().size();
}

namespace {

constexpr std::string_view kMessagePrefix = "Message: ";
constexpr std::string_view kDialogPrefix = "--text=";

}  // namespace

std::vector<std::string> MessageWatch::shown() const {
  std::vector<std::string> texts;
  {
    std::istringstream dialogs(watch_->records());
    for (std::string line; std::getline(dialogs, line);) {
      texts.push_back(line.rfind(kDialogPrefix, 0) == 0 ? line.substr(kDialogPrefix.size()) : line);
    }
  }
  const std::string err = watch_->errors();
  for (std::size_t at = 0; at < err.size();) {
    const std::size_t end = err.find('\n', at);
    if (end == std::string::npos) break;
    const std::string line = err.substr(at, end - at);
    // A message follows the piece of one cut short (a full disk) on its line;
    // the last one on a line is whole.
    const std::size_t message = line.rfind(kMessagePrefix);
    if (message != std::string::npos) {
      texts.push_back(line.substr(message + kMessagePrefix.size()));
    }
    at = end + 1;
  }
  return texts;
}

std::string MessageWatch::stray() const {
  std::string stray;
  const std::string err = watch_->errors();
  for (std::size_t at = 0; at < err.size();) {
    std::size_t end = err.find('\n', at);
    const bool whole = end != std::string::npos;
    if (!whole) end = err.size();
    const std::string_view line(err.data() + at, end - at);
    const std::size_t message = whole ? line.rfind(kMessagePrefix) : std::string_view::npos;
    if (message == std::string_view::npos) {
      stray += std::string(line) + (whole ? "\n" : "");
    } else {
      stray += std::string(line.substr(0, message));
    }
    at = end + 1;
  }
  return stray;
}

std::size_t openHandles() { return openFileCount(); }

// The turn is a lock on the folder the module names, and a waiting saver's
// mark on it. A lock belongs to the descriptor that took it: one left by
// this process refuses a fresh descriptor of this process too.
bool turnIsFree(const std::string& file) {
  files::Target target;
  target.path = file;
  const std::string folder = files::turnName(target);
  const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return false;
  struct flock mark {};
  mark.l_type = F_WRLCK;
  mark.l_whence = SEEK_SET;
  mark.l_len = 1;
  const bool unmarked = ::fcntl(descriptor, F_OFD_GETLK, &mark) == 0 && mark.l_type == F_UNLCK;
  const bool unlocked = ::flock(descriptor, LOCK_EX | LOCK_NB) == 0;
  ::close(descriptor);
  return unmarked && unlocked;
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

// The symbols the module's image takes from other objects, as nm lists
// them: the undefined, non-weak entries of its dynamic symbol table, without
// their versions.
std::vector<std::string> moduleImports() {
  std::vector<std::string> names;
  FILE* const listing =
      ::popen("'" HUSHLINK_NM "' -D --undefined-only --format=posix '" HUSHLINK_MODULE "'", "r");
  if (listing == nullptr) return names;
  char line[1024];
  while (std::fgets(line, sizeof line, listing) != nullptr) {
    std::istringstream fields(line);
    std::string name;
    std::string type;
    if (!(fields >> name >> type) || type != "U") continue;
    names.push_back(name.substr(0, name.find('@')));
  }
  return ::pclose(listing) == 0 ? names : std::vector<std::string>{};
}

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

// SPDX-License-Identifier: GPL-2.0-or-later
// Making the module's calls fail one at a time, as each platform can: on
// Linux through a preloaded library that stands in for the C library's
// calls, on Windows through the loaded DLL's import table. While an entry
// point runs, every call the module makes for files, memory and processes is
// numbered; one or two planned calls fail, each in a planned way. What both platforms
// share is in faults.cpp, each platform's half in faults_posix.cpp or
// faults_windows.cpp.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hushlink::testing::faults {

// How a call is made to fail.
enum class Mode {
  Error,          // the call's usual error there; nothing is done
  Interrupted,    // a signal interrupted it before it did anything
  Short,          // it moves part of what it was asked to; the rest is the caller's
  ShortThenFull,  // it writes part, and the rest finds the disk full
};

const char* nameOf(Mode mode);
// The mode named as nameOf() names it; false when there is none.
bool modeNamed(std::string_view name, Mode& mode);

// What a call is, where that changes what a run may show.
enum class Role {
  Other,
  Allocation,  // asks for memory
  LogWrite,    // hands bytes to the log file
  Message,     // puts a message's text where the user reads it
  Conversion,  // opens the converter for a message's text
};

// One call made to fail: its number among the calls of the run, and how.
struct Fault {
  long k = 0;  // 0: none
  Mode mode = Mode::Error;
};

// The calls of one run that fail: the first, and perhaps a second after it
// (second.k = 0: none), numbered as the run with the first failure made them.
struct Plan {
  long k = 0;  // 0: nothing fails
  Mode mode = Mode::Error;
  Fault second;
};

// One call the module made while an entry point ran.
struct Call {
  std::string name;
  std::string entryPoint;   // the one it was made in
  std::size_t entry = 0;    // which call of an entry point it was made in, counted from 0
  std::string detail;       // what it was given, as a report shows it
  std::string object;       // the descriptor or handle it works on, as shown; empty: none
  std::string gave;         // the descriptor or handle it gave back, as shown; empty: none
  std::string text;         // the path it names, or the first bytes it writes
  unsigned long flags = 0;  // the flags it was given, where a test reads them (MoveFileExW)
  Role role = Role::Other;
  std::size_t size = 0;     // bytes asked for, or to be moved
  std::string written;      // the bytes a log write or a message hands over
  std::vector<Mode> modes;  // the ways it can be made to fail here
};

// One numbered call as a platform's stand-in recorded it, before it is
// described.
struct Record {
  std::string name;
  std::vector<Mode> modes;
  Role role = Role::Other;
  std::string object;  // the descriptor or handle it works on, as shown; empty: none
  std::string text;    // the path it names, or the first bytes it writes
  std::size_t size = 0;
  std::string gave;  // what it gave back, where that names something (a descriptor)
  unsigned long flags = 0;
};

// The entry points called, each with the number its first call would have.
using Entered = std::vector<std::pair<long, std::string>>;

// The records as calls: each described, and placed in its entry point.
std::vector<Call> describedCalls(const std::vector<Record>& records, const Entered& entered);

// Why this platform cannot fail calls now (empty when it can).
std::string unavailable();

// Numbers the calls of the module loaded just before it, while an entry
// point runs through during(), and makes the planned one fail. On Windows
// it also answers the module's message boxes, recording their texts.
class Injector {
 public:
  Injector();
  ~Injector();
  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;

  // From now on calls are numbered from 1, and the planned ones fail.
  void plan(const Plan& plan);
  // Calls `call`, which calls the entry point `name`.
  void during(const char* name, const std::function<void()>& call);
  std::vector<Call> calls() const;

 private:
  Entered entered_;
};

// What the module's message boxes showed while the object lives, each text
// once per showing. POSIX: headless, the "Message:" lines on standard error,
// or with `desktop` a stand-in dialog program on PATH; Windows: the boxes
// the Injector answered.
class MessageWatch {
 public:
  explicit MessageWatch(bool desktop);
  ~MessageWatch();
  MessageWatch(const MessageWatch&) = delete;
  MessageWatch& operator=(const MessageWatch&) = delete;

  std::vector<std::string> shown() const;
  // Anything else the module wrote where messages go (a message cut short).
  std::string stray() const;
  // Forgets what was shown so far: shown() and stray() tell only of what
  // comes next.
  void restart();

 private:
  struct Watch;
  Watch* watch_;
};

// Descriptors the process has open; on Windows, handles of the kinds the
// module's own calls open (files, mutexes, mappings, processes).
std::size_t openHandles();

// Whether another saver of `file` could have its turn at once: no lock of
// it is held, this process's own included.
bool turnIsFree(const std::string& file);

// Runs `run(i)` for every i below `count` where one run cannot harm the
// next: on POSIX each in a child process of its own, several at a time; on
// Windows one after another in this process, with the DLL loaded afresh by
// the run. What each reported, or how it died or hung. A run that takes the
// whole process down with it (on Windows) is named by `describe(i)` first.
std::vector<std::string> runEach(std::size_t count,
                                 const std::function<std::string(std::size_t)>& run,
                                 const std::function<std::string(std::size_t)>& describe);

// The calls the module imports (by name, as the platform links them), the
// ones the Injector stands in for, and those it leaves alone, with why.
std::vector<std::string> moduleImports();
std::vector<std::string> wrappedCalls();
const std::map<std::string, std::string>& callsLeftAlone();

}  // namespace hushlink::testing::faults

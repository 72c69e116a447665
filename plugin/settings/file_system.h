// SPDX-License-Identifier: GPL-2.0-or-later
// The small acts on files that reading and saving a whole small file are made
// of, one set per platform. Each answers one question or performs one act and
// says how it went; what to do with the answers is decided once, in
// file_save.cpp and settings_file.cpp. What they settle themselves is how the
// platform does the act: the mode a fresh file is created with, how long a
// move waits for a reader that holds the file open, how a waiting saver
// pauses.
//
// Every call retries what was only interrupted and never waits on a pipe or
// a device.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace hushlink::files {

// How a call went.
enum class Result {
  Done,
  Missing,  // the file, or the folder it would be in, does not exist
  Refused,  // the system will not let us (permissions, read-only, the
            // file's kind); nothing was changed
  Failed,   // anything else: an I/O error, no memory, no space, a lost race
};

// The line end of a text file as the platform writes it.
extern const char* const kTextLineEnd;

// Something the platform lends us, given back when the object goes.
template <void (*Release)(std::intptr_t)>
class Held {
 public:
  static constexpr std::intptr_t kNone = -1;
  Held() = default;
  ~Held() { reset(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  bool held() const { return value_ != kNone; }
  std::intptr_t get() const { return value_; }
  void reset(std::intptr_t value = kNone) {
    if (held()) Release(value_);
    value_ = value;
  }
  // Gives the value up without releasing it.
  std::intptr_t release() {
    const std::intptr_t value = value_;
    value_ = kNone;
    return value;
  }

 private:
  std::intptr_t value_ = kNone;
};

void closeFile(std::intptr_t file);
void releaseTurn(std::intptr_t turn);

using FileHandle = Held<closeFile>;
// One saver's turn at a file: no other saver of it, in this process or any
// other, is between claiming its fresh file and moving it into place.
using TurnHandle = Held<releaseTurn>;

enum class Kind {
  Regular,
  Directory,
  Device,  // written to, never replaced: a device, a pipe, a socket
};

// The file a save writes, as found before the save.
struct Target {
  std::string path;  // the file the settings path finally names, links followed
  bool exists = false;
  Kind kind = Kind::Regular;
  bool writable = false;       // we could open it for writing
  bool hasSecondName = false;  // a hard link names it too
};

// ---- reading ----

// Opens a file for reading without waiting: Missing when neither it nor its
// folder exists; Refused when it exists but cannot be read at once (a folder,
// a pipe, no permission).
Result openForReading(const std::string& path, FileHandle& file);

// Up to `size` bytes from where the file stands; 0 at its end, -1 on an
// error.
long readSome(const FileHandle& file, char* into, std::size_t size);

// ---- saving ----

// The file `path` names once every symbolic link on the way is followed,
// whether that file exists yet or not. Failed when a link cannot be read.
Result resolveFinalTarget(const std::string& path, std::string& target);

// Fills in what is known of `target.path` beyond its name.
Result inspectTarget(Target& target);

// What changes whenever a save of the target lands. All zero when it cannot
// be learnt.
struct ChangeStamp {
  std::uint64_t identity = 0;
  std::int64_t changed = 0;  // in the platform's own ticks
  bool operator==(const ChangeStamp&) const = default;
};

ChangeStamp changeStampOf(const Target& target);

// A clock that only goes forward, for measuring waits.
std::chrono::milliseconds clockNow();

// How long a saver waits for its turn; decided by the policy.
class Patience {
 public:
  // Whether to wait on: asked as soon as the turn is found taken, and again
  // after each look or wait that did not get it.
  virtual bool keepWaiting() = 0;
  // How long patience lasts from now if no save lands meanwhile: the longest
  // one wait in the system's queue may last, where the platform queues
  // waiters rather than looking.
  virtual std::chrono::milliseconds timeLeft() const = 0;

 protected:
  ~Patience() = default;
};

// What savers of the target take turns on, by its name: the folder that is
// locked (POSIX), the mutex (Windows). Empty when it cannot be had. Tests
// look it up to see that nobody holds the turn.
std::string turnName(const Target& target);

// Waits until no other saver of the target is at work, for as long as
// `patience` allows. Missing when the target's folder does not exist; Failed
// when the turn cannot be had.
Result takeTurn(const Target& target, Patience& patience, TurnHandle& turn);

// Creates (or empties a leftover of) the one fresh file beside the target,
// named `freshName`, and opens it for writing; until it carries the target's
// permissions only its owner may open it. Refused when the folder refuses
// new files.
Result claimFreshFile(const Target& target, const std::string& freshName, FileHandle& fresh);

// Gives the fresh file what the target carries beyond its content: owner,
// permissions, extended attributes and access lists (on Windows, its access
// list, attributes and creation time). Refused when the target has something
// the fresh file may not be given; Failed when what it carries cannot be
// learnt.
Result carryMetadata(const Target& target, const FileHandle& fresh);

// Puts `content` at the start of the file, cuts a regular file to that
// length, and syncs it to the disk.
bool writeWhole(const FileHandle& file, Kind kind, const std::string& content);

// Moves the closed fresh file to the target's name in one step, whole or not
// at all, and makes the move last.
Result moveIntoPlace(const std::string& freshName, const Target& target, const TurnHandle& turn);

// Opens an existing target to be rewritten where it is, for reading too where
// that is allowed, never emptied on the way.
Result openForRewrite(const Target& target, FileHandle& file);

void removeFile(const std::string& path);

}  // namespace hushlink::files

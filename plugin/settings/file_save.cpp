// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/settings/file_save.h"

#include <algorithm>

#include "plugin/settings/file_system.h"

namespace hushlink {

namespace {

using files::FileHandle;
using files::Kind;
using files::Result;
using files::Target;

// A saver waits for its turn as long as the turn keeps moving, however many
// savers are ahead and however slow the disk; it gives up once no save has
// landed for kLongestStillness (a saver stuck elsewhere, a host stopped in a
// debugger), or after kLongestTurnWait in all.
constexpr std::chrono::milliseconds kLongestStillness{5000};
constexpr std::chrono::milliseconds kLongestTurnWait{60000};

class WhileTheTurnMoves final : public files::Patience {
 public:
  explicit WhileTheTurnMoves(const Target& target) : target_(target) {}

  bool keepWaiting() override {
    const std::chrono::milliseconds now = files::clockNow();
    if (!waiting_) {
      firstLook_ = lastMove_ = lastStamped_ = now;
      stamp_ = files::changeStampOf(target_);
      waiting_ = true;
    } else if (now - lastStamped_ >= kStampEvery) {
      const files::ChangeStamp stamp = files::changeStampOf(target_);
      if (stamp != stamp_) lastMove_ = now;
      stamp_ = stamp;
      lastStamped_ = now;
    }
    return timeLeftAt(now).count() > 0;
  }

  std::chrono::milliseconds timeLeft() const override { return timeLeftAt(files::clockNow()); }

 private:
  // Often enough to see each save land, seldom enough to cost the saver at
  // work nothing.
  static constexpr std::chrono::milliseconds kStampEvery{20};

  std::chrono::milliseconds timeLeftAt(std::chrono::milliseconds now) const {
    return std::min(lastMove_ + kLongestStillness, firstLook_ + kLongestTurnWait) - now;
  }

  const Target& target_;
  bool waiting_ = false;
  files::ChangeStamp stamp_;
  std::chrono::milliseconds firstLook_{};
  std::chrono::milliseconds lastMove_{};
  std::chrono::milliseconds lastStamped_{};
};

// A rewrite in place that fails halfway puts back what the file held, as
// long as that is no more than a settings file ever holds.
constexpr std::size_t kMostRestored = 4096;

// The one fresh file a save writes, beside its target: a saver that dies
// leaves at most this one behind, and the next save takes it over.
constexpr const char* kFreshSuffix = ".new";

// The fresh file beside the target: closed, and its name removed, unless it
// was moved into place (or never claimed).
struct FreshFile {
  FileHandle handle;
  std::string name;
  ~FreshFile() {
    handle.reset();
    if (!name.empty()) files::removeFile(name);
  }
};

// The file's content from where it stands, when it is small enough to be
// put back; false otherwise.
bool readForRestore(const FileHandle& file, std::string& content) {
  char chunk[kMostRestored + 1];
  for (;;) {
    const long size = files::readSome(file, chunk, sizeof chunk);
    if (size < 0) return false;
    if (size == 0) return true;
    content.append(chunk, static_cast<std::size_t>(size));
    if (content.size() > kMostRestored) return false;
  }
}

// Not crash-safe, and only ever chosen for a reason: a crash between the
// write and the cut to length leaves a mix of the two contents.
SaveOutcome rewriteInPlace(const Target& target, const std::string& content) {
  FileHandle file;
  switch (files::openForRewrite(target, file)) {
    case Result::Done:
      break;
    case Result::Missing:
    case Result::Refused:
      return SaveOutcome::Refused;
    case Result::Failed:
      return SaveOutcome::Failed;
  }
  std::string previous;
  const bool restorable = target.kind == Kind::Regular && readForRestore(file, previous);
  if (files::writeWhole(file, target.kind, content)) return SaveOutcome::InPlace;
  if (restorable) files::writeWhole(file, target.kind, previous);
  return SaveOutcome::Failed;
}

// The fresh file written, carrying what the target carries, and moved into
// place. Called with the turn held.
SaveOutcome replace(const Target& target, const std::string& content,
                    const files::TurnHandle& turn) {
  FreshFile fresh;
  const std::string freshName = target.path + kFreshSuffix;
  switch (files::claimFreshFile(target, freshName, fresh.handle)) {
    case Result::Done:
      fresh.name = freshName;
      break;
    case Result::Missing:
      return SaveOutcome::Refused;
    case Result::Refused:
      // The folder refuses new files, but the file itself may be written.
      return target.exists ? rewriteInPlace(target, content) : SaveOutcome::Refused;
    case Result::Failed:
      return SaveOutcome::Failed;
  }
  if (target.exists) {
    switch (files::carryMetadata(target, fresh.handle)) {
      case Result::Done:
        break;
      case Result::Refused:
        fresh.handle.reset();
        return rewriteInPlace(target, content);
      case Result::Missing:
      case Result::Failed:
        return SaveOutcome::Failed;
    }
  }
  if (!files::writeWhole(fresh.handle, Kind::Regular, content)) return SaveOutcome::Failed;
  fresh.handle.reset();
  if (files::moveIntoPlace(fresh.name, target, turn) != Result::Done) return SaveOutcome::Failed;
  fresh.name.clear();
  return SaveOutcome::Replaced;
}

}  // namespace

SaveOutcome saveWholeFile(const std::string& path, const std::string& content) {
  Target target;
  if (files::resolveFinalTarget(path, target.path) != Result::Done) return SaveOutcome::Failed;
  if (files::inspectTarget(target) != Result::Done) return SaveOutcome::Failed;
  // What a plain rewrite could not have opened is left alone.
  if (target.exists && (target.kind == Kind::Directory || !target.writable)) {
    return SaveOutcome::Refused;
  }
  files::TurnHandle turn;
  WhileTheTurnMoves patience(target);
  switch (files::takeTurn(target, patience, turn)) {
    case Result::Done:
      break;
    case Result::Missing:
      return SaveOutcome::Refused;
    case Result::Refused:
    case Result::Failed:
      return SaveOutcome::Failed;
  }
  // A device is written to, not replaced by a file; a file with a second name
  // keeps it only when it is rewritten where it is.
  if (target.exists && (target.kind == Kind::Device || target.hasSecondName)) {
    return rewriteInPlace(target, content);
  }
  return replace(target, content, turn);
}

}  // namespace hushlink

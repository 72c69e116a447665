// SPDX-License-Identifier: GPL-2.0-or-later
// Saving a whole small file (the settings file) so that it is never left
// torn: the new content is written to a fresh file beside it, synced, and
// moved into its place, keeping what the old file carried.
#pragma once

#include <string>

namespace hushlink {

enum class SaveOutcome {
  Replaced,  // a fresh file took the old one's place
  InPlace,   // rewritten where it is, for something a replacement would lose
  Refused,   // could not have been written by a plain rewrite either:
             // nothing was touched
  Failed,    // an error on the way: the old file is whole and unchanged
};

inline bool saved(SaveOutcome outcome) {
  return outcome == SaveOutcome::Replaced || outcome == SaveOutcome::InPlace;
}

// Writes `content` as the whole of the file `path` finally names (links are
// followed, and stay links). The file is rewritten in place only where a
// replacement would lose something it has: a second name, an owner or an
// attribute the fresh file may not be given, a folder that refuses new files,
// or a device. Any failure leaves the old file whole. Savers of one file, in
// any number of processes, take turns; a saver waits as long as other saves
// keep landing (a minute at most), and fails once none has landed for five
// seconds.
SaveOutcome saveWholeFile(const std::string& path, const std::string& content);

}  // namespace hushlink

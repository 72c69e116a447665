// SPDX-License-Identifier: GPL-2.0-or-later
// The situations a settings file can be in, laid out by each platform's own
// means: a file nobody may write, a folder that refuses new files, a full
// disk, a pipe, links, owners, attributes. A situation a platform or this
// machine cannot have says why instead.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "plugin/settings/file_save.h"

namespace hushlink::testing {

// Whether these tests run on Windows, for the rows only one platform has.
extern const bool kOnWindows;

// Saves the settings line with `value` to `path`, as the plugin does.
using Saver = std::function<SaveOutcome(const std::string& path, std::int32_t value)>;

// What was laid out, undone when the last copy of `undo` goes; or, in
// `notHere`, why it cannot be laid out on this platform or machine.
struct Arranged {
  std::string notHere;
  std::shared_ptr<void> undo;
  Saver saver;  // set where the save must be made otherwise than in-process

  static Arranged cannot(std::string why) {
    Arranged arranged;
    arranged.notHere = std::move(why);
    return arranged;
  }
  static Arranged holding(std::shared_ptr<void> undo) {
    Arranged arranged;
    arranged.undo = std::move(undo);
    return arranged;
  }
};

// Nobody, root included, may write, rename over or delete the file (the
// immutable flag; on Windows the read-only attribute).
Arranged makeUnwritable(const std::filesystem::path& path);

// The file exists but cannot be opened for reading now (a lease another
// holder keeps; on Windows an exclusive open).
Arranged makeUnreadable(const std::filesystem::path& path);

// The folder refuses new files, while the files in it may still be written.
Arranged makeFolderRefuseNewFiles(const std::filesystem::path& folder);

// A small file system at `folder`, mounted and filled to the last byte.
Arranged mountFullDisk(const std::filesystem::path& folder);

// A named pipe with no reader at `path`.
Arranged makePipe(const std::filesystem::path& path);

// A symbolic link at `link` to `target` (a relative target stays relative).
Arranged makeSymbolicLink(const std::filesystem::path& link, const std::filesystem::path& target);

// A symbolic link at `link` to the device that swallows what is written.
Arranged linkToNullDevice(const std::filesystem::path& link);

// Permission bits 0640, and (as root) another owner and group.
Arranged setOwnerAndPermissions(const std::filesystem::path& path);

// An access list granting a second user the file, and a user attribute.
Arranged addAccessListAndAttribute(const std::filesystem::path& path);

// The hidden and archive attributes.
Arranged setHiddenAttribute(const std::filesystem::path& path);

// Someone else's file that only a member of its group may write; saves are
// made by a third user in that group.
Arranged belongToSomeoneElsesGroup(const std::filesystem::path& path);

// What a file carries beyond its content (mode, owner and extended
// attributes; on Windows the attributes a save must keep), in words.
std::string fileMetadata(const std::filesystem::path& path);

}  // namespace hushlink::testing

// SPDX-License-Identifier: GPL-2.0-or-later
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "plugin/settings/settings_file.h"
#include "tests/support/file_situations.h"
#include "tests/support/test_support.h"

namespace hushlink::testing {

namespace fs = std::filesystem;

const bool kOnWindows = false;

namespace {

std::shared_ptr<void> onRelease(std::function<void()> undo) {
  return std::shared_ptr<void>(nullptr, [undo = std::move(undo)](void*) { undo(); });
}

bool isRoot() { return ::geteuid() == 0; }

// An access list: version 2, then one (tag, permissions, id) entry each for
// the owner, user 1234, the owning group, the mask and the others.
std::string accessListForASecondUser() {
  std::string list("\x02\0\0\0", 4);
  const auto entry = [&](std::uint16_t tag, std::uint16_t permissions, std::uint32_t id) {
    for (const std::uint32_t field : {tag | std::uint32_t{permissions} << 16u, id}) {
      for (int shift = 0; shift < 32; shift += 8) list.push_back(static_cast<char>(field >> shift));
    }
  };
  constexpr std::uint32_t kNoId = 0xFFFFFFFF;
  entry(0x01, 6, kNoId);
  entry(0x02, 6, 1234);
  entry(0x04, 4, kNoId);
  entry(0x10, 6, kNoId);
  entry(0x20, 0, kNoId);
  return list;
}

}  // namespace

Arranged makeUnwritable(const fs::path& path) {
  auto flag = std::make_shared<UnwritableFile>(path);
  if (!flag->ok())
    return Arranged::cannot("cannot set the immutable flag here (needs root on ext4 or tmpfs)");
  return Arranged::holding(flag);
}

// A write lease, broken by any open: with the plugin's open that never waits,
// the file cannot be opened until the lease goes. Breaking it signals its
// holder, this process, which must not die of it.
Arranged makeUnreadable(const fs::path& path) {
  const auto previous = ::signal(SIGIO, SIG_IGN);
  const int descriptor = ::open(path.c_str(), O_RDONLY);
  if (descriptor < 0 || ::fcntl(descriptor, F_SETLEASE, F_WRLCK) != 0) {
    if (descriptor >= 0) ::close(descriptor);
    ::signal(SIGIO, previous);
    return Arranged::cannot("cannot take a lease on the file here");
  }
  return Arranged::holding(onRelease([descriptor, previous] {
    ::fcntl(descriptor, F_SETLEASE, F_UNLCK);
    ::close(descriptor);
    ::signal(SIGIO, previous);
  }));
}

Arranged makeFolderRefuseNewFiles(const fs::path& folder) { return makeUnwritable(folder); }

Arranged mountFullDisk(const fs::path& folder) {
  fs::create_directories(folder);
  if (::mount("hushlink-test", folder.c_str(), "tmpfs", 0, "size=64k") != 0) {
    return Arranged::cannot("cannot mount a small file system here (needs root)");
  }
  auto undo = onRelease([folder] { ::umount2(folder.c_str(), MNT_DETACH); });
  return Arranged::holding(undo);
}

Arranged makePipe(const fs::path& path) {
  if (::mkfifo(path.c_str(), 0644) != 0) return Arranged::cannot("cannot make a named pipe here");
  return {};
}

Arranged makeSymbolicLink(const fs::path& link, const fs::path& target) {
  fs::create_symlink(target, link);
  return {};
}

Arranged linkToNullDevice(const fs::path& link) { return makeSymbolicLink(link, "/dev/null"); }

Arranged setOwnerAndPermissions(const fs::path& path) {
  ::chmod(path.c_str(), 0640);
  if (isRoot() && ::chown(path.c_str(), 1234, 5678) != 0)
    return Arranged::cannot("cannot change the owner here");
  return {};
}

Arranged addAccessListAndAttribute(const fs::path& path) {
  const std::string list = accessListForASecondUser();
  if (::setxattr(path.c_str(), "system.posix_acl_access", list.data(), list.size(), 0) != 0 ||
      ::setxattr(path.c_str(), "user.origin", "dotfiles", 8, 0) != 0) {
    return Arranged::cannot("this file system keeps no access lists or user attributes");
  }
  return {};
}

Arranged setHiddenAttribute(const fs::path&) {
  return Arranged::cannot("files here carry no hidden or archive attribute");
}

// The save runs in a child process as user 4567, a member of the file's
// group 4321; the file belongs to user 1234.
Arranged belongToSomeoneElsesGroup(const fs::path& path) {
  if (!isRoot()) return Arranged::cannot("needs root to play two users");
  constexpr uid_t kOwner = 1234;
  constexpr gid_t kSharedGroup = 4321;
  constexpr uid_t kSaver = 4567;
  ::chmod(fs::current_path().c_str(), 0777);
  ::chmod(fs::absolute(path).parent_path().c_str(), 0777);
  if (::chown(path.c_str(), kOwner, kSharedGroup) != 0)
    return Arranged::cannot("cannot change the owner here");
  ::chmod(path.c_str(), 0664);
  Saver saver = [](const std::string& file, std::int32_t value) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      const gid_t groups[] = {kSharedGroup};
      if (::setgroups(1, groups) != 0 || ::setgid(kSharedGroup) != 0 || ::setuid(kSaver) != 0) {
        ::_exit(100);
      }
      ::_exit(static_cast<int>(writeLogging(file, value)));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) >= 100) return SaveOutcome::Failed;
    return static_cast<SaveOutcome>(WEXITSTATUS(status));
  };
  Arranged arranged;
  arranged.saver = saver;
  return arranged;
}

std::string fileMetadata(const fs::path& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return "<none>";
  char words[64];
  std::snprintf(words, sizeof words, "mode %04o owner %u:%u", info.st_mode & 07777,
                static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_gid));
  std::string described = words;
  std::string names(4096, '\0');
  const ssize_t size = ::listxattr(path.c_str(), names.data(), names.size());
  std::vector<std::string> attributes;
  for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(names.c_str() + at)) + 1) {
    const char* name = names.c_str() + at;
    std::string value(4096, '\0');
    const ssize_t length = ::getxattr(path.c_str(), name, value.data(), value.size());
    value.resize(length < 0 ? 0 : static_cast<std::size_t>(length));
    attributes.push_back(std::string(name) + "=" + std::to_string(std::hash<std::string>()(value)));
  }
  std::sort(attributes.begin(), attributes.end());
  for (const std::string& attribute : attributes) described += " " + attribute;
  return described;
}

}  // namespace hushlink::testing

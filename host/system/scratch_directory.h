// SPDX-License-Identifier: GPL-2.0-or-later
// A fresh folder laid out as the emulator's working directory, for running a
// module where it must not touch the user's files: the harness's checks and
// replays, the tests and the fuzz targets all make theirs here.
#pragma once

#include <filesystem>
#include <string>

namespace hushlink::host {

class ScratchDirectory {
 public:
  // Which of the plugin's folders the scratch folder starts with.
  enum Folders { kNoFolders = 0, kSettingsFolder = 1, kLogFolder = 2, kBothFolders = 3 };

  // hushlink-PURPOSE-NUMBER in `parent`, with the folders asked for, empty.
  explicit ScratchDirectory(
      const std::string& purpose, Folders folders = kBothFolders,
      const std::filesystem::path& parent = std::filesystem::temp_directory_path());
  // Leaves the folder if it was entered, then removes it with everything in it.
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Makes the folder the current directory until the object goes.
  void enter();

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;  // empty until entered
};

// A folder for scratch folders kept in memory where the system has one
// (/dev/shm), the usual temporary folder otherwise: work that saves and syncs
// files there waits on itself, not on a disk that other work keeps busy.
std::filesystem::path memoryBackedTempFolder();

}  // namespace hushlink::host

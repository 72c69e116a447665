// SPDX-License-Identifier: GPL-2.0-or-later
// Where the harness runs a module that must not touch the user's files: a
// fresh folder under the system's temporary folder, laid out as the
// emulator's working directory.
#pragma once

#include <filesystem>
#include <string>

namespace hushlink::host {

class ScratchDirectory {
 public:
  // hushlink-PURPOSE-NUMBER, with the plugin's settings and log folders, empty.
  explicit ScratchDirectory(const std::string& purpose);
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

}  // namespace hushlink::host

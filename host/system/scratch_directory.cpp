// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/system/scratch_directory.h"

#include <random>

#include "plugin/hushlink.h"

namespace hushlink::host {

namespace fs = std::filesystem;

ScratchDirectory::ScratchDirectory(const std::string& purpose, Folders folders,
                                   const fs::path& parent) {
  // A name nobody else holds: two harnesses at once, or one left behind by a
  // harness that was killed, only cost another draw.
  std::random_device random;
  do {
    path_ = parent / ("hushlink-" + purpose + "-" + std::to_string(random() % 100000000));
  } while (!fs::create_directory(path_));
  if (folders & kSettingsFolder) fs::create_directory(path_ / HUSHLINK_SETTINGS_FOLDER);
  if (folders & kLogFolder) fs::create_directory(path_ / HUSHLINK_LOG_FOLDER);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  if (!previous_.empty()) fs::current_path(previous_, ignored);
  fs::remove_all(path_, ignored);
}

void ScratchDirectory::enter() {
  previous_ = fs::current_path();
  fs::current_path(path_);
}

}  // namespace hushlink::host

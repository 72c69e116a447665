// SPDX-License-Identifier: GPL-2.0-or-later
// A scratch working directory for a fuzz target, with the plugin's "inis" and
// "logs" folders, on a memory file system where there is one.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace hushlink::fuzz {

// Removed when the fuzzer exits, as it does at the end of its time.
inline std::string& scratchDirectory() {
  static std::string path;
  return path;
}

inline void removeScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(scratchDirectory(), ignored);
}

inline void enterScratchDirectory(const char* name) {
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string path = std::string(base) + "/hushlink-fuzz-" + name + "-XXXXXX";
  if (::mkdtemp(path.data()) == nullptr || ::chdir(path.c_str()) != 0) {
    std::perror("scratch directory");
    std::exit(1);
  }
  scratchDirectory() = path;
  std::atexit(removeScratchDirectory);
  ::mkdir("inis", 0777);
  ::mkdir("logs", 0777);
}

}  // namespace hushlink::fuzz

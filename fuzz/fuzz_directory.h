// SPDX-License-Identifier: GPL-2.0-or-later
// A scratch working directory for a fuzz target, with the plugin's "inis" and
// "logs" folders, on a memory file system where there is one.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace hushlink::fuzz {

inline void enterScratchDirectory(const char* name) {
  const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string path = std::string(base) + "/hushlink-fuzz-" + name + "-XXXXXX";
  if (::mkdtemp(path.data()) == nullptr || ::chdir(path.c_str()) != 0) {
    std::perror("scratch directory");
    std::exit(1);
  }
  ::mkdir("inis", 0777);
  ::mkdir("logs", 0777);
}

}  // namespace hushlink::fuzz

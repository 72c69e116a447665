// SPDX-License-Identifier: GPL-2.0-or-later
// What a module's file says of itself in its header, read before any load:
// handing the loader a module built for another machine only earns a
// riddle ("Bad EXE format for %1", "wrong ELF class").
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace hushlink::host {

struct ModuleImage {
  enum class Format { Unknown, Elf, Pe };
  Format format = Format::Unknown;
  int bits = 0;               // 32 or 64
  std::uint16_t machine = 0;  // the header's own machine code
};

// Unknown when the file cannot be read or is neither ELF nor PE.
ModuleImage readModuleImage(const std::filesystem::path& path);

// The image's kind as people name it: "ELF 32-bit x86", "PE 64-bit x86-64";
// "unknown" for neither.
std::string imageKind(const ModuleImage& image);

// Why the module at `path` is not one this harness can load, in plain words:
// built for another bitness, machine or system than the harness itself.
// Empty when it may be (or its header cannot be read).
std::string machineMismatch(const std::filesystem::path& path);

}  // namespace hushlink::host

// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/system/module_image.h"

#include <array>
#include <cstring>
#include <fstream>

#include "host/system/platform.h"

namespace hushlink::host {

namespace {

constexpr std::size_t kHeaderBytes = 4096;

std::uint16_t little16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t little32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(little16(bytes)) |
         static_cast<std::uint32_t>(little16(bytes + 2)) << 16;
}

std::string machineName(ModuleImage::Format format, std::uint16_t machine) {
  struct Name {
    ModuleImage::Format format;
    std::uint16_t machine;
    const char* name;
  };
  static constexpr Name kNames[] = {
      {ModuleImage::Format::Elf, 3, "x86"},     {ModuleImage::Format::Elf, 62, "x86-64"},
      {ModuleImage::Format::Elf, 40, "ARM"},    {ModuleImage::Format::Elf, 183, "ARM64"},
      {ModuleImage::Format::Pe, 0x014C, "x86"}, {ModuleImage::Format::Pe, 0x8664, "x86-64"},
      {ModuleImage::Format::Pe, 0x01C4, "ARM"}, {ModuleImage::Format::Pe, 0xAA64, "ARM64"},
  };
  for (const Name& name : kNames) {
    if (name.format == format && name.machine == machine) return name.name;
  }
  return "machine " + std::to_string(machine);
}

const char* systemOf(ModuleImage::Format format) {
  return format == ModuleImage::Format::Elf ? "a Linux module (ELF)" : "a Windows module (PE)";
}

}  // namespace

ModuleImage readModuleImage(const std::filesystem::path& path) {
  std::array<unsigned char, kHeaderBytes> header{};
  std::ifstream file(path, std::ios::binary);
  file.read(reinterpret_cast<char*>(header.data()), header.size());
  const std::size_t size = static_cast<std::size_t>(file.gcount());
  ModuleImage image;
  if (size >= 20 &&
      std::memcmp(header.data(),
                  "\x7f"
                  "ELF",
                  4) == 0 &&
      header[5] == 1) {
    image.format = ModuleImage::Format::Elf;
    image.bits = header[4] == 2 ? 64 : 32;
    image.machine = little16(&header[18]);
  } else if (size >= 0x40 && header[0] == 'M' && header[1] == 'Z') {
    const std::uint32_t pe = little32(&header[0x3C]);
    if (pe + 26 <= size && std::memcmp(&header[pe], "PE\0\0", 4) == 0) {
      image.format = ModuleImage::Format::Pe;
      image.machine = little16(&header[pe + 4]);
      image.bits = little16(&header[pe + 24]) == 0x20B ? 64 : 32;
    }
  }
  return image;
}

std::string imageKind(const ModuleImage& image) {
  if (image.format == ModuleImage::Format::Unknown) return "unknown";
  return std::string(image.format == ModuleImage::Format::Elf ? "ELF " : "PE ") +
         std::to_string(image.bits) + "-bit " + machineName(image.format, image.machine);
}

std::string machineMismatch(const std::filesystem::path& path) {
  const ModuleImage module = readModuleImage(path);
  const std::filesystem::path self = ownPath();
  const ModuleImage harness = readModuleImage(self);
  if (module.format == ModuleImage::Format::Unknown ||
      harness.format == ModuleImage::Format::Unknown) {
    return {};
  }
  const std::string name = toUtf8(path.filename());
  const std::string harnessName = toUtf8(self.stem());
  if (module.format != harness.format) {
    return name + " is " + systemOf(module.format) + "; this " + harnessName + " loads " +
           (harness.format == ModuleImage::Format::Elf ? "Linux modules" : "Windows modules");
  }
  if (module.bits != harness.bits) {
    const std::string moduleBits = std::to_string(module.bits) + "-bit";
    const std::string harnessBits = std::to_string(harness.bits) + "-bit";
    return name + " is a " + moduleBits + " module; this " + harnessName + " is " + harnessBits +
           ": use the " + harnessBits + " " + name + ", or the " + moduleBits + " " +
           toUtf8(self.filename());
  }
  if (module.machine != harness.machine) {
    return name + " is a module for " + machineName(module.format, module.machine) + "; this " +
           harnessName + " runs on " + machineName(harness.format, harness.machine);
  }
  return {};
}

}  // namespace hushlink::host

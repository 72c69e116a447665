// SPDX-License-Identifier: GPL-2.0-or-later
// Any bytes as the settings file, read through the plugin's own load path.
// The value must match an independent reading of the same scanf format:
// std::sscanf where the number fits in 32 bits, saturation beyond, after the
// byte-order marks of UTF-8 and UTF-16 (little-endian).
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/system/scratch_directory.h"
#include "plugin/log/log_channel.h"
#include "plugin/settings/settings.h"

namespace {

constexpr std::int32_t kUntouched = 0x5EED;

// The text as the line is read from it: past a UTF-8 byte-order mark; after a
// UTF-16 little-endian one, one character per code unit, a non-ASCII unit as
// a byte that matches nothing; otherwise the bytes as they are.
std::string settingsText(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    return std::string(bytes + 3, size - 3);
  }
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    std::string text;
    for (std::size_t i = 2; i + 1 < size; i += 2) {
      const unsigned unit = data[i] | static_cast<unsigned>(data[i + 1]) << 8;
      text += unit < 0x80 ? static_cast<char>(unit) : '\xFF';
    }
    return text;
  }
  return std::string(bytes, size);
}

std::int32_t referenceValue(const std::uint8_t* data, std::size_t size) {
  // sscanf reads a C string: a NUL ends the input just as a mismatch does.
  std::string text = settingsText(data, size);
  text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
  int afterEquals = -1;
  std::sscanf(text.c_str(), "logging =%n", &afterEquals);
  if (afterEquals < 0) return 0;
  const char* number = text.c_str() + afterEquals;
  char* end = nullptr;
  const std::intmax_t wide = std::strtoimax(number, &end, 10);
  if (end == number) return 0;
  if (wide > INT32_MAX) return INT32_MAX;
  if (wide < INT32_MIN) return INT32_MIN;
  int narrow = 0;
  if (std::sscanf(text.c_str(), "logging = %d", &narrow) != 1 || narrow != wide) {
    std::fprintf(stderr, "sscanf and strtoimax disagree: %d vs %jd\n", narrow, wide);
    std::abort();
  }
  return static_cast<std::int32_t>(wide);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Removed when the fuzzer exits, as it does at the end of its time.
  static hushlink::host::ScratchDirectory scratch("fuzz-settings",
                                                  hushlink::host::ScratchDirectory::kBothFolders,
                                                  hushlink::host::memoryBackedTempFolder());
  scratch.enter();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen("inis/Hushlink.ini", "wb");
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  hushlink::settings.logging = kUntouched;
  hushlink::loadSettings();
  const std::int32_t expected = referenceValue(data, size);
  if (hushlink::settings.logging != expected) {
    std::fprintf(stderr, "settings value %d, expected %d\n", hushlink::settings.logging, expected);
    std::abort();
  }
  if (hushlink::logChannel.toFile != (expected != 0) ||
      hushlink::logChannel.toConsole != (expected != 0)) {
    std::fprintf(stderr, "log flags do not follow the value %d\n", expected);
    std::abort();
  }
  return 0;
}

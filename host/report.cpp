// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/report.h"

#include <cstdio>

namespace hushlink::host {

int fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "hushlink-host: %s\n", message.c_str());
  return kExitFailure;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "hushlink-host: %s\nTry 'hushlink-host --help'.\n", message.c_str());
  return kExitUsage;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

std::string hex(std::uint32_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", width, value);
  return text;
}

}  // namespace hushlink::host

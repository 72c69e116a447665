// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/commands/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/system/platform.h"

namespace hushlink::host {

int fail(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "hushlink-host: %s\n", forConsole(message).c_str());
  return kExitFailure;
}

int usageError(const std::string& message, const std::string& command) {
  std::fprintf(stderr, "hushlink-host: %s\nTry 'hushlink-host %s%s--help'.\n",
               forConsole(message).c_str(), command.c_str(), command.empty() ? "" : " ");
  return kExitUsage;
}

int finishOutput(int status) {
  const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
  const int error = errno;
  const bool closed = std::fclose(stdout) == 0;
  if (flushed && closed) return status;
  std::fprintf(stderr, "hushlink-host: cannot write standard output: %s\n",
               std::strerror(flushed ? errno : error));
  return kExitFailure;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

std::string visible(std::string_view bytes) {
  std::string out = "\"";
  for (const char byte : bytes) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += byte;
    }
  }
  return out + "\"";
}

std::string hex(std::uint32_t value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", width, value);
  return text;
}

}  // namespace hushlink::host

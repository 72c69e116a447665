// SPDX-License-Identifier: GPL-2.0-or-later
// A trace: the register accesses of a session, one per line.
//   r ADDRESS          read a register
//   w ADDRESS VALUE    write a register
// Numbers are hex with 0x or decimal, 32 bits at most; "#" starts a comment.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace hushlink::host {

struct TraceStep {
  enum class Kind { Read, Write, Comment };
  Kind kind;
  std::uint32_t address = 0;
  std::uint32_t value = 0;
  std::string comment;  // a comment line's text, shown as the session runs
};

// Parses the whole trace before anything runs; on the first malformed line,
// returns false with "NAME:LINE: problem" in `error`.
bool parseTrace(std::istream& input, const std::string& name, std::vector<TraceStep>& steps,
                std::string& error);

// A short session that shows what the device does.
extern const char* const kDemoTrace;

}  // namespace hushlink::host

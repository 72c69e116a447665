// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/formats/trace.h"

#include <charconv>
#include <sstream>
#include <string_view>

namespace hushlink::host {

const char* const kDemoTrace =
    "# The fixed register reads 8, whatever is written there.\n"
    "r 0x1f808410\n"
    "w 0x1f808410 0x12345678\n"
    "r 0x1f808410\n"
    "# Only the low 16 bits address the store: aliases show the word written.\n"
    "r 0x00008410\n"
    "r 0xabcd8410\n"
    "# Words overlap: the word at offset 1 holds three bytes of the word at 0.\n"
    "w 0x1f800000 0x11223344\n"
    "r 0x1f800000\n"
    "r 0x1f800001\n";

namespace {

// Hex after "0x" or "0X", else decimal; at most ten digits, which any
// 32-bit number needs, and nothing else.
bool parseNumber(const std::string& text, std::uint32_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = std::string_view(text).substr(hex ? 2 : 0);
  if (digits.empty() || digits.size() > 10) return false;
  const char* end = digits.data() + digits.size();
  const auto [stopped, error] = std::from_chars(digits.data(), end, value, hex ? 16 : 10);
  return error == std::errc() && stopped == end;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Returns the problem with the line, or an empty string when it parsed.
std::string parseLine(const std::string& line, std::vector<TraceStep>& steps) {
  const std::string code = trimmed(line.substr(0, line.find('#')));
  if (code.empty()) {
    const auto hash = line.find('#');
    if (hash != std::string::npos) {
      steps.push_back({TraceStep::Kind::Comment, 0, 0, trimmed(line.substr(hash + 1))});
    }
    return {};
  }
  std::istringstream words(code);
  std::vector<std::string> tokens;
  for (std::string token; words >> token;) tokens.push_back(token);
  const std::string& verb = tokens[0];
  TraceStep step{};
  std::size_t numbers;
  if (verb == "r") {
    step.kind = TraceStep::Kind::Read;
    numbers = 1;
  } else if (verb == "w") {
    step.kind = TraceStep::Kind::Write;
    numbers = 2;
  } else {
    return "unknown access '" + verb + "' (expected 'r ADDRESS' or 'w ADDRESS VALUE')";
  }
  if (tokens.size() != numbers + 1) {
    return verb == "r" ? "'r' takes one number: r ADDRESS"
                       : "'w' takes two numbers: w ADDRESS VALUE";
  }
  std::uint32_t* fields[] = {&step.address, &step.value};
  for (std::size_t i = 0; i < numbers; ++i) {
    if (!parseNumber(tokens[i + 1], *fields[i])) {
      return "'" + tokens[i + 1] + "' is not a 32-bit number (hex with 0x, or decimal)";
    }
  }
  steps.push_back(step);
  return {};
}

}  // namespace

bool parseTrace(std::istream& input, const std::string& name, std::vector<TraceStep>& steps,
                std::string& error) {
  std::string line;
  for (std::uint64_t number = 1; std::getline(input, line); ++number) {
    const std::string problem = parseLine(line, steps);
    if (!problem.empty()) {
      error = name + ":" + std::to_string(number) + ": " + problem;
      return false;
    }
  }
  if (input.bad()) {
    error = name + ": read error";
    return false;
  }
  return true;
}

}  // namespace hushlink::host

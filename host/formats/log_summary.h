// SPDX-License-Identifier: GPL-2.0-or-later
// What a plugin's log says about the registers a game used: per register
// offset, who touched it and how, and the totals over the whole log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/formats/plugin_log.h"

namespace hushlink::host {

// How many addresses and values a row lists before it only counts the rest.
inline constexpr std::size_t kListedValues = 4;

struct OffsetSummary {
  std::uint32_t offset;
  // The distinct addresses that reached this offset: the lowest few, and
  // how many in all.
  std::vector<std::uint32_t> addresses;
  std::uint64_t addressCount = 0;
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  // The distinct values written: the first few in the order written, and
  // how many in all.
  std::vector<std::uint32_t> valuesWritten;
  std::uint64_t valueCount = 0;
  std::optional<std::uint32_t> lastRead;
};

struct LogSummary {
  std::uint64_t sessions = 0;  // "Initializing Hushlink" lines

  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::uint64_t fixedRegisterReads = 0;
  std::vector<OffsetSummary> offsets;  // those touched, by offset
};

// Reads the whole log. False with the log's own error (a malformed access
// line, a read error, no plugin line at all).
bool summarizeLog(PluginLog& log, LogSummary& summary, std::string& error);

}  // namespace hushlink::host

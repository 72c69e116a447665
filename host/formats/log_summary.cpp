// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/formats/log_summary.h"

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "plugin/hushlink.h"

namespace hushlink::host {
namespace {

constexpr std::uint32_t kOffsetMask = HUSHLINK_STORE_SIZE - 1;

// One offset while the log is read. A game touches a few hundred offsets at
// most but may do so millions of times: the common case, the same address
// as last time, costs one comparison.
struct Tally {
  std::uint32_t lastAddress;
  std::unordered_set<std::uint32_t> addresses;
  std::unordered_set<std::uint32_t> values;
  std::vector<std::uint32_t> firstValues;
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
  std::optional<std::uint32_t> lastRead;

  explicit Tally(std::uint32_t address) : lastAddress(address), addresses{address} {}

  void seen(std::uint32_t address) {
    if (address == lastAddress) return;
    lastAddress = address;
    addresses.insert(address);
  }
  void written(std::uint32_t value) {
    ++writes;
    if (values.insert(value).second && firstValues.size() < kListedValues) {
      firstValues.push_back(value);
    }
  }
};

OffsetSummary summarized(std::uint32_t offset, const Tally& tally) {
  OffsetSummary row;
  row.offset = offset;
  row.addresses.assign(tally.addresses.begin(), tally.addresses.end());
  std::sort(row.addresses.begin(), row.addresses.end());
  row.addressCount = row.addresses.size();
  if (row.addresses.size() > kListedValues) row.addresses.resize(kListedValues);
  row.reads = tally.reads;
  row.writes = tally.writes;
  row.valuesWritten = tally.firstValues;
  row.valueCount = tally.values.size();
  row.lastRead = tally.lastRead;
  return row;
}

}  // namespace

bool summarizeLog(PluginLog& log, LogSummary& summary, std::string& error) {
  summary = {};
  std::vector<std::unique_ptr<Tally>> tallies(kOffsetMask + 1);
  LogRecord record;
  while (log.next(record)) {
    if (record.kind == LogRecord::Kind::SessionStart) {
      ++summary.sessions;
      continue;
    }
    std::unique_ptr<Tally>& tally = tallies[record.address & kOffsetMask];
    if (!tally) {
      tally = std::make_unique<Tally>(record.address);
    } else {
      tally->seen(record.address);
    }
    if (record.kind == LogRecord::Kind::Write) {
      ++summary.writes;
      tally->written(record.value);
      continue;
    }
    ++summary.reads;
    ++tally->reads;
    tally->lastRead = record.value;
    if (record.address == HUSHLINK_FIXED_READ_ADDRESS) ++summary.fixedRegisterReads;
  }
  if (!log.error().empty()) {
    error = log.error();
    return false;
  }
  for (std::uint32_t offset = 0; offset <= kOffsetMask; ++offset) {
    if (tallies[offset]) summary.offsets.push_back(summarized(offset, *tallies[offset]));
  }
  return true;
}

}  // namespace hushlink::host

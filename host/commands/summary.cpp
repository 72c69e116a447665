// SPDX-License-Identifier: GPL-2.0-or-later
// hushlink-host summary: what a game did with the controller, from the
// plugin's log, one row per register offset instead of one line per access.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "host/commands/command.h"
#include "host/commands/report.h"
#include "host/device.h"
#include "host/formats/log_summary.h"
#include "host/formats/plugin_log.h"

namespace hushlink::host {
namespace {

// The listed values, and how many more there are.
std::string listed(const std::vector<std::uint32_t>& values, std::uint64_t count) {
  std::string text;
  for (const std::uint32_t value : values) {
    if (!text.empty()) text += ' ';
    text += hex(value);
  }
  if (count > values.size()) {
    text += " +";
    text += std::to_string(count - values.size());
    text += " more";
  }
  return text;
}

using Row = std::vector<std::string>;

const Row kHeader = {"offset", "addresses",     "reads",    "writes",
                     "values", "first written", "last read"};

Row cells(const OffsetSummary& offset) {
  return {hex(offset.offset, 4),
          listed(offset.addresses, offset.addressCount),
          std::to_string(offset.reads),
          std::to_string(offset.writes),
          std::to_string(offset.valueCount),
          listed(offset.valuesWritten, offset.valueCount),
          offset.lastRead ? hex(*offset.lastRead) : std::string()};
}

void printCsv(const LogSummary& summary) {
  // No cell holds a comma or a quote: none needs quoting.
  const auto print = [](const Row& row) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      std::printf("%s%s", i == 0 ? "" : ",", row[i].c_str());
    }
    std::printf("\n");
  };
  Row header = kHeader;
  for (std::string& name : header) {
    for (char& c : name) c = c == ' ' ? '_' : c;
  }
  print(header);
  for (const OffsetSummary& offset : summary.offsets) print(cells(offset));
}

void printTable(const LogSummary& summary) {
  std::printf("sessions:            %" PRIu64 "\n", summary.sessions);
  std::printf("reads:               %" PRIu64 "\n", summary.reads);
  std::printf("writes:              %" PRIu64 "\n", summary.writes);
  std::printf("offsets:             %zu\n", summary.offsets.size());
  if (summary.fixedRegisterReads == 0) {
    std::printf("fixed-read register: %s not read\n", hex(kFixedReadAddress).c_str());
  } else {
    std::printf("fixed-read register: %s read %" PRIu64 " time%s\n", hex(kFixedReadAddress).c_str(),
                summary.fixedRegisterReads, summary.fixedRegisterReads == 1 ? "" : "s");
  }
  std::vector<Row> rows = {kHeader};
  for (const OffsetSummary& offset : summary.offsets) rows.push_back(cells(offset));
  for (Row& row : rows) {
    for (std::string& cell : row) {
      if (cell.empty()) cell.assign(1, '-');
    }
  }
  std::vector<std::size_t> widths(kHeader.size(), 0);
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  // Counts line up on the right, lists on the left; the last column is not
  // padded, so no row ends in blanks.
  const auto isCount = [](std::size_t column) { return column >= 2 && column <= 4; };
  std::printf("\n");
  for (const Row& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i > 0) line += "  ";
      const std::string padding(widths[i] - row[i].size(), ' ');
      if (isCount(i)) {
        line += padding + row[i];
      } else {
        line += row[i] + (i + 1 < row.size() ? padding : "");
      }
    }
    std::printf("%s\n", line.c_str());
  }
}

int summarize(const Invocation& invocation) {
  PluginLog log;
  std::string error;
  if (!log.open(invocation.operands[0], error)) return fail(error);
  LogSummary summary;
  if (!summarizeLog(log, summary, error)) return fail(error);
  if (invocation.has("--csv")) {
    printCsv(summary);
  } else {
    printTable(summary);
  }
  return kExitSuccess;
}

constexpr Option kOptions[] = {
    {"--csv", nullptr, "print the rows alone, as comma-separated values under a header line"},
};

}  // namespace

const Command kSummaryCommand = {
    "summary",
    "LOG",
    kOptions,
    "Sum up a plugin's log: one row per register offset touched, in the order of the offsets, "
    "under the totals of the whole log.",
    "The offset is the address's low 16 bits. Sessions are counted by their \"Initializing "
    "Hushlink\" lines. A row shows the addresses that reached the offset "
    "(the lowest four, and how many more), the reads and the writes, how many distinct values were "
    "written and the first four of them, and the last value read. The totals count the sessions, "
    "reads, writes and offsets, and say whether the fixed-read register 0x1f808410 was read. LOG "
    "is read as replay reads it, and may be - for standard input. It is an error when the log "
    "holds no plugin line at all, when an access line is garbled (\"LOG:N: not a register access "
    "line\"), and when an access or \"Initializing Hushlink\" line stops partway, its rest never "
    "written (\"LOG: line N is cut short\"): a summary of what is left would miscount.",
    nullptr,
    summarize};

}  // namespace hushlink::host

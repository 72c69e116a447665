// SPDX-License-Identifier: GPL-2.0-or-later
// What both platforms' halves share: the modes' names, and the calls their
// stand-ins recorded, described and placed in their entry points.
#include "tests/plugin/fault_injection/faults.h"

#include <cstdio>
#include <string>

#include "host/commands/report.h"
#include "tests/plugin/fault_injection/fault_plan.h"

namespace hushlink::testing::faults {

static_assert(static_cast<int>(Mode::Error) == kFaultError &&
                  static_cast<int>(Mode::Interrupted) == kFaultInterrupted &&
                  static_cast<int>(Mode::Short) == kFaultShort &&
                  static_cast<int>(Mode::ShortThenFull) == kFaultShortThenFull,
              "the modes as the stand-ins number them");

namespace {

constexpr const char* kModeNames[] = {"error", "interrupted", "short", "short-then-full"};

// "name(object, "text")", or the bytes counted where there is no text;
// " = what it gave" where it gave a name.
std::string detailOf(const Record& record) {
  std::vector<std::string> given;
  if (!record.object.empty()) given.push_back(record.object);
  if (!record.text.empty()) {
    given.push_back(host::visible(record.text));
  } else if (record.size > 0) {
    given.push_back(std::to_string(record.size) + " bytes");
  }
  std::string detail = record.name + "(";
  for (std::size_t i = 0; i < given.size(); ++i) detail += (i > 0 ? ", " : "") + given[i];
  detail += ")";
  if (record.flags != 0) {
    char flags[32];
    std::snprintf(flags, sizeof flags, ", flags %#lx", record.flags);
    detail.insert(detail.size() - 1, flags);
  }
  if (!record.gave.empty()) detail += " = " + record.gave;
  if (record.role == Role::LogWrite) detail += " to the log";
  return detail;
}

}  // namespace

const char* nameOf(Mode mode) { return kModeNames[static_cast<int>(mode)]; }

bool modeNamed(std::string_view name, Mode& mode) {
  for (int i = 0; i < kFaultModes; ++i) {
    if (name == kModeNames[i]) {
      mode = static_cast<Mode>(i);
      return true;
    }
  }
  return false;
}

std::vector<Call> describedCalls(const std::vector<Record>& records, const Entered& entered) {
  std::vector<Call> calls;
  calls.reserve(records.size());
  std::size_t entry = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& record = records[i];
    while (entry + 1 < entered.size() && entered[entry + 1].first <= static_cast<long>(i) + 1) {
      ++entry;
    }
    Call call;
    call.name = record.name;
    if (entry < entered.size()) call.entryPoint = entered[entry].second;
    call.entry = entry;
    call.detail = detailOf(record);
    call.object = record.object;
    call.gave = record.gave;
    call.text = record.text;
    call.flags = record.flags;
    call.role = record.role;
    call.size = record.size;
    if (record.role == Role::LogWrite || record.role == Role::Message) call.written = record.text;
    call.modes = record.modes;
    calls.push_back(std::move(call));
  }
  return calls;
}

}  // namespace hushlink::testing::faults

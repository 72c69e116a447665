// SPDX-License-Identifier: GPL-2.0-or-later
// The settings file's one line, read and written by value:
//   HUSHLINK_LOGGING_KEY = <signed decimal>
#pragma once

#include <cstdint>
#include <string>

#include "plugin/hushlink.h"
#include "plugin/settings/file_save.h"

namespace hushlink {

enum class ReadOutcome {
  Read,
  Missing,     // neither the file nor its folder exists
  Unreadable,  // it exists but cannot be read now: it is left as it is
};

struct SettingsRead {
  ReadOutcome outcome;
  std::int32_t logging;  // when read
};

// Matches "logging = %d" once at the start of the file with scanf's rules
// (each space any run of white space, even none; whatever follows the number
// is ignored); 0 when no number was matched, and numbers beyond 32 bits
// saturate. A UTF-8 byte-order mark is read past; after a UTF-16
// (little-endian) one, the text is read as UTF-16, whose ASCII characters
// are all the line needs. The file is read as a stream, however large.
SettingsRead readLogging(const std::string& path) noexcept;

// Saves "logging = <value>" and the platform's line end as the file's whole
// content.
SaveOutcome writeLogging(const std::string& path, std::int32_t value) noexcept;

}  // namespace hushlink

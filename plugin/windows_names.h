// SPDX-License-Identifier: GPL-2.0-or-later
// Names as the Windows calls of the support files need them.
#pragma once

#include <string>

namespace hushlink {

// An 8-bit path in the system's code page, as the wide calls take it.
std::wstring widenedPath(const std::string& path);

// A wide path in the system's code page; false when the code page cannot
// spell it.
bool narrowedPath(const std::wstring& path, std::string& narrow);

// The name of an object that every process of this user's session finds
// under the same file: "Local\Hushlink-KIND-<hash of the lower-case path>".
// `path` must be a full path (different spellings of one file must agree).
std::wstring sharedObjectName(const wchar_t* kind, std::wstring path);

}  // namespace hushlink

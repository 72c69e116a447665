// SPDX-License-Identifier: GPL-2.0-or-later
#include "plugin/windows_names.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace hushlink {

std::wstring widenedPath(const std::string& path) {
  const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), size);
  wide.pop_back();
  return wide;
}

bool narrowedPath(const std::wstring& path, std::string& narrow) {
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, &lossy);
  if (size <= 0 || lossy) return false;
  narrow.assign(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow.data(), size, nullptr, nullptr);
  narrow.pop_back();
  return true;
}

std::wstring sharedObjectName(const wchar_t* kind, std::wstring path) {
  CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const wchar_t c : path) hash = (hash ^ c) * 1099511628211ull;
  wchar_t name[96];
  std::swprintf(name, 96, L"Local\\Hushlink-%ls-%016llx", kind,
                static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace hushlink

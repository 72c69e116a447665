// SPDX-License-Identifier: GPL-2.0-or-later
#include <windows.h>

#include <new>
#include <string>

#include "plugin/message_box/message_box.h"

namespace hushlink {

namespace {

constexpr UINT kGbkCodePage = 936;

// The text's GBK bytes as UTF-16; false when they are not valid GBK or the
// system cannot convert from that code page.
bool gbkToWide(const char* text, std::wstring& wide) {
  const int size = MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (size <= 0) return false;
  wide.assign(static_cast<std::size_t>(size), L'\0');
  return MultiByteToWideChar(kGbkCodePage, MB_ERR_INVALID_CHARS, text, -1, wide.data(), size) ==
         size;
}

}  // namespace

void displayMessageBox(const char* text) {
  // The texts are stored as GBK (the About text is Chinese; the others are
  // ASCII, which GBK leaves as it is). Shown through the wide call they read
  // right whatever the system's 8-bit code page; the box is owned by whatever
  // window the host has active.
  std::wstring wide;
  bool widened = false;
  try {
    widened = gbkToWide(text, wide);
  } catch (const std::bad_alloc&) {
    // No memory for the wide text: the 8-bit box shows the stored bytes
    // rather than nothing, and a Configure notice does not cost the save.
  }
  if (widened) {
    MessageBoxW(GetActiveWindow(), wide.c_str(), L"" HUSHLINK_MESSAGE_CAPTION, MB_SETFOREGROUND);
  } else {
    MessageBoxA(GetActiveWindow(), text, HUSHLINK_MESSAGE_CAPTION, MB_SETFOREGROUND);
  }
}

}  // namespace hushlink

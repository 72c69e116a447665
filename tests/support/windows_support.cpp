// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/windows_support.h"

#include <cstring>

#include "host/system/platform.h"

namespace hushlink::testing {

namespace {

BOOL CALLBACK findText(HWND child, LPARAM found) {
  wchar_t className[32];
  GetClassNameW(child, className, 32);
  if (lstrcmpiW(className, L"Static") == 0 && GetWindowTextLengthW(child) > 0) {
    *reinterpret_cast<HWND*>(found) = child;
    return FALSE;
  }
  return TRUE;
}

Box readBox(HWND window) {
  Box box{};
  wchar_t caption[256] = {};
  GetWindowTextW(window, caption, 256);
  box.caption = utf8(caption);
  HWND textControl = nullptr;
  EnumChildWindows(window, findText, reinterpret_cast<LPARAM>(&textControl));
  if (textControl != nullptr) {
    wchar_t wide[1024] = {};
    GetWindowTextW(textControl, wide, 1024);
    box.wideText = wide;
    box.text = utf8(wide);
    char ansi[1024] = {};
    GetWindowTextA(textControl, ansi, sizeof ansi);
    box.ansiText = ansi;
  }
  box.owner = GetWindow(window, GW_OWNER);
  return box;
}

}  // namespace

BoxWatch* BoxWatch::active_ = nullptr;

BoxWatch::BoxWatch()
    : outer_(active_), hook_(SetWindowsHookExW(WH_CBT, watch, nullptr, GetCurrentThreadId())) {
  active_ = this;
}

BoxWatch::~BoxWatch() {
  UnhookWindowsHookEx(hook_);
  active_ = outer_;
}

LRESULT CALLBACK BoxWatch::watch(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && active_ != nullptr) {
    const HWND window = reinterpret_cast<HWND>(wParam);
    wchar_t className[32];
    GetClassNameW(window, className, 32);
    if (std::wcscmp(className, L"#32770") == 0) {
      active_->boxes_.push_back(readBox(window));
      // The user presses OK.
      PostMessageW(window, WM_COMMAND, IDOK, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

std::wstring widened(const std::string& text) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  }
  return wide;
}

std::string utf8(const std::wstring& wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                        nullptr, nullptr);
  }
  return text;
}

HANDLE startProcess(std::wstring commandLine, const wchar_t* folder, const wchar_t* outputPath,
                    const wchar_t* errorPath) {
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  auto open = [&](const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE output = open(outputPath);
  const HANDLE error = errorPath != nullptr ? open(errorPath) : GetStdHandle(STD_ERROR_HANDLE);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, folder, &startup, &process);
  CloseHandle(output);
  if (errorPath != nullptr) CloseHandle(error);
  if (!started) return nullptr;
  CloseHandle(process.hThread);
  return process.hProcess;
}

DWORD exitCodeOf(HANDLE process) {
  if (process == nullptr) return 0xFFFFFFFF;
  WaitForSingleObject(process, INFINITE);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

std::wstring ownPath() { return host::ownPath().native(); }

}  // namespace hushlink::testing

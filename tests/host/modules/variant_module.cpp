// SPDX-License-Identifier: GPL-2.0-or-later
// A compact plugin of this interface with one deliberate fault, chosen when
// it is built, so that the tests can show `hushlink-host check` catching it:
//   FAULT_FIXED_ON_OFFSET    the fixed register matched on the store offset
//   FAULT_STORE_KEPT         a second FWinit keeps the old store's contents
//   FAULT_UPPER_CASE_HEX     access lines print upper-case hex digits
//   FAULT_FOLDED_SETTING     the setting is folded to 0 or 1 when read
//   FAULT_ABORT_ON_UNLOAD    unloading after an FWinit aborts the process
//   FAULT_HANG_IN_INIT       FWinit never returns
//   FAULT_EXIT_IN_SHUTDOWN   FWshutdown ends the process with status 3
// Built with none of them, it is a correct plugin.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plugin/hushlink.h"

#ifdef FAULT_HANG_IN_INIT
#include <unistd.h>
#endif

namespace {

bool initialised;
unsigned char* store;
std::FILE* logFile;
int logging;

#ifdef FAULT_STORE_KEPT
// The store outlives FWshutdown on purpose, but not the module.
struct FreeAtUnload {
  ~FreeAtUnload() { std::free(store); }
} freeAtUnload;
#endif

#ifdef FAULT_ABORT_ON_UNLOAD
struct AbortAtUnload {
  ~AbortAtUnload() {
    if (initialised) std::abort();
  }
} abortAtUnload;
#endif

void logLine(const char* format, ...) {
  if (logFile == nullptr || logging == 0) return;
  char line[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  std::fprintf(logFile, "%s\n", line);
  std::fflush(logFile);
  std::printf("%s\n", line);
}

void saveSettings() {
  if (std::FILE* file = std::fopen("inis/Hushlink.ini", "w")) {
    std::fprintf(file, "logging = %d\n", logging);
    std::fclose(file);
  }
}

void loadSettings() {
  std::FILE* file = std::fopen("inis/Hushlink.ini", "r");
  if (file == nullptr) {
    saveSettings();
    return;
  }
  int value = 0;
  if (std::fscanf(file, "logging = %d", &value) != 1) value = 0;
#ifdef FAULT_FOLDED_SETTING
  value = value != 0;
#endif
  logging = value;
  std::fclose(file);
}

#ifdef FAULT_UPPER_CASE_HEX
constexpr const char* kRead = "FW read mem 0x%X: 0x%X";
constexpr const char* kWrite = "FW write mem 0x%X: 0x%X";
#else
constexpr const char* kRead = "FW read mem 0x%x: 0x%x";
constexpr const char* kWrite = "FW write mem 0x%x: 0x%x";
#endif

}  // namespace

extern "C" {

HUSHLINK_EXPORT uint32_t PS2EgetLibType(void) { return 0x40; }
HUSHLINK_EXPORT const char* PS2EgetLibName(void) { return "Hushlink Driver"; }
HUSHLINK_EXPORT uint32_t PS2EgetLibVersion2(uint32_t) { return 0x00020006; }
HUSHLINK_EXPORT int32_t FWtest(void) { return 0; }
HUSHLINK_EXPORT void FWirqCallback(FWirqHandler) {}
HUSHLINK_EXPORT void FWabout(void) {}

HUSHLINK_EXPORT int32_t FWinit(void) {
  initialised = true;
#ifdef FAULT_HANG_IN_INIT
  for (;;) ::pause();
#endif
  loadSettings();
  logFile = std::fopen("logs/Hushlink.log", "w");
  logLine("Hushlink plugin version %d,%d", 0, 6);
  logLine("Initializing Hushlink");
#ifdef FAULT_STORE_KEPT
  if (store != nullptr) return 0;
#endif
  store = static_cast<unsigned char*>(std::calloc(0x10000 + 3, 1));
  return store != nullptr ? 0 : -1;
}

HUSHLINK_EXPORT void FWshutdown(void) {
#ifdef FAULT_EXIT_IN_SHUTDOWN
  if (initialised) std::exit(3);
#endif
#ifndef FAULT_STORE_KEPT
  std::free(store);
  store = nullptr;
#endif
  if (logFile != nullptr) std::fclose(logFile);
  logFile = nullptr;
}

HUSHLINK_EXPORT int32_t FWopen(void*) {
  logLine("Opening Hushlink.");
  return 0;
}

HUSHLINK_EXPORT void FWclose(void) { logLine("Closing Hushlink."); }

HUSHLINK_EXPORT uint32_t FWread32(uint32_t address) {
  uint32_t value = 0;
#ifdef FAULT_FIXED_ON_OFFSET
  const bool fixed = (address & 0xFFFF) == 0x8410;
#else
  const bool fixed = address == 0x1F808410;
#endif
  if (fixed) {
    value = 8;
  } else if (store != nullptr) {
    std::memcpy(&value, store + (address & 0xFFFF), sizeof value);
  }
  logLine(kRead, address, value);
  return value;
}

HUSHLINK_EXPORT void FWwrite32(uint32_t address, uint32_t value) {
  if (store != nullptr) std::memcpy(store + (address & 0xFFFF), &value, sizeof value);
  logLine(kWrite, address, value);
}

HUSHLINK_EXPORT void FWconfigure(void) {
  loadSettings();
  saveSettings();
}

}  // extern "C"

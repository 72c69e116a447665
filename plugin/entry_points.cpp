// SPDX-License-Identifier: GPL-2.0-or-later
// The entry points the host calls. None lets an exception out: the host is
// C and cannot unwind through it. Logging and the register store never throw;
// the entry points that reach the settings file or a message box catch.
#include "plugin/hushlink.h"
#include "plugin/log/log_channel.h"
#include "plugin/module_runtime.h"
#include "plugin/register_store.h"
#include "plugin/settings/settings.h"

namespace hushlink {
namespace {

constexpr std::int32_t kSuccess = 0;
constexpr std::int32_t kFailure = -1;
// The start-up line's "version 0,6": the version word's two low bytes.
constexpr int kVersionMajor = (HUSHLINK_LIB_VERSION >> 8) & 0xFF;
constexpr int kVersionMinor = HUSHLINK_LIB_VERSION & 0xFF;

void shutdown() {
  releaseRegisterStore();
  logChannel.close();
}

// A host may unload the module without FWshutdown: after a failed FWinit, or
// simply when it is done. What FWshutdown would release goes back then, with
// nothing written and nothing shown. Runs at dlclose on Linux and at
// DLL_PROCESS_DETACH on Windows, like every static destructor of a module.
struct ReleasedAtUnload {
  ~ReleasedAtUnload() {
    shutdown();
    releaseModuleRuntime();
  }
} releasedAtUnload;

std::int32_t initialise() {
  // A second FWinit, or a retry after a failed one, starts from a clean slate
  // instead of leaking the store and the log file it already holds.
  shutdown();
  loadSettings();
  logChannel.setFlags(settings.logging != 0);
  logChannel.open(HUSHLINK_LOG_PATH);
  logChannel.writeLine("Hushlink plugin version %d,%d", kVersionMajor, kVersionMinor);
  logChannel.writeLine(HUSHLINK_SESSION_START_LINE);
  if (!allocateRegisterStore()) {
    logChannel.alert("Error allocating Memory");
    return kFailure;
  }
  return kSuccess;
}

// Kept out of line so that an access with logging off needs no stack frame.
[[gnu::noinline]] std::uint32_t logAccess(const char* text, std::uint32_t address,
                                          std::uint32_t value) {
  logChannel.writeAccessLine(text, address, value);
  return value;
}

}  // namespace
}  // namespace hushlink

using namespace hushlink;

extern "C" {

uint32_t HUSHLINK_CALL PS2EgetLibType(void) { return HUSHLINK_LIB_TYPE; }

const char* HUSHLINK_CALL PS2EgetLibName(void) { return HUSHLINK_LIB_NAME; }

uint32_t HUSHLINK_CALL PS2EgetLibVersion2(uint32_t) { return HUSHLINK_LIB_VERSION; }

int32_t HUSHLINK_CALL FWinit(void) {
  try {
    return initialise();
  } catch (...) {
    return kFailure;
  }
}

void HUSHLINK_CALL FWshutdown(void) { shutdown(); }

int32_t HUSHLINK_CALL FWopen(void*) {
  logChannel.writeLine("Opening Hushlink.");
  return kSuccess;
}

void HUSHLINK_CALL FWclose(void) { logChannel.writeLine("Closing Hushlink."); }

uint32_t HUSHLINK_CALL FWread32(uint32_t address) {
  const std::uint32_t value = readRegister(address);
  if (!logChannel.isWriting()) return value;
  return logAccess(HUSHLINK_READ_LINE_PREFIX " ", address, value);
}

void HUSHLINK_CALL FWwrite32(uint32_t address, uint32_t value) {
  writeRegister(address, value);
  if (logChannel.isWriting()) logAccess(HUSHLINK_WRITE_LINE_PREFIX " ", address, value);
}

void HUSHLINK_CALL FWirqCallback(FWirqHandler callback) {
  pluginState.interruptCallback = callback;
}

int32_t HUSHLINK_CALL FWtest(void) { return kSuccess; }

}  // extern "C"

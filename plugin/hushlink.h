/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Hushlink: a null FireWire controller for the console emulator's FireWire slot.
 *
 * This header is the module's whole exported surface: thirteen plain C entry
 * points, called by the host one at a time on its own threads. Everything else
 * in the module is internal.
 */
#ifndef HUSHLINK_H
#define HUSHLINK_H

#include <stdint.h>

/* The host's calling convention. On 32-bit Windows that is __stdcall; the
 * module-definition file gives the undecorated names and the export numbers. */
#if defined(_WIN32)
#define HUSHLINK_CALL __stdcall
#define HUSHLINK_EXPORT
#else
#define HUSHLINK_CALL
#define HUSHLINK_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's interrupt callback. The null device never raises an interrupt,
 * so the plugin only keeps the pointer. */
typedef void(HUSHLINK_CALL* FWirqHandler)(void);

/* Any time: the host's type code of a FireWire plugin, 0x40. */
HUSHLINK_EXPORT uint32_t HUSHLINK_CALL PS2EgetLibType(void);

/* Any time: "Hushlink Driver"; the text lives as long as the module. */
HUSHLINK_EXPORT const char* HUSHLINK_CALL PS2EgetLibName(void);

/* Any time: the version word 0x00020006, whatever the argument. */
HUSHLINK_EXPORT uint32_t HUSHLINK_CALL PS2EgetLibVersion2(uint32_t type);

/* Reads the settings, opens the log and allocates a zeroed register store.
 * 0 on success; -1 when the store cannot be allocated. A second call first
 * releases what the first one holds. */
HUSHLINK_EXPORT int32_t HUSHLINK_CALL FWinit(void);

/* Releases the register store and closes the log; harmless when repeated. */
HUSHLINK_EXPORT void HUSHLINK_CALL FWshutdown(void);

/* Logs the open; the argument is the host's and is not used. Always 0. */
HUSHLINK_EXPORT int32_t HUSHLINK_CALL FWopen(void* display);

/* Logs the close. */
HUSHLINK_EXPORT void HUSHLINK_CALL FWclose(void);

/* The register word at the address's low 16 bits; 0x1F808410 always reads 8.
 * Reads 0 while no store exists. Logs the access. */
HUSHLINK_EXPORT uint32_t HUSHLINK_CALL FWread32(uint32_t address);

/* Stores the word at the address's low 16 bits; dropped while no store
 * exists. Logs the access. */
HUSHLINK_EXPORT void HUSHLINK_CALL FWwrite32(uint32_t address, uint32_t value);

/* Keeps the host's interrupt callback (not owned, never called). */
HUSHLINK_EXPORT void HUSHLINK_CALL FWirqCallback(FWirqHandler callback);

/* Shows a notice and writes the settings file back in its canonical form. */
HUSHLINK_EXPORT void HUSHLINK_CALL FWconfigure(void);

/* Any time: the self-test, which always passes with 0. */
HUSHLINK_EXPORT int32_t HUSHLINK_CALL FWtest(void);

/* Shows the plugin's one-line description in a message box. */
HUSHLINK_EXPORT void HUSHLINK_CALL FWabout(void);

/* Pointer types for a host that resolves the entry points by name. */
typedef uint32_t(HUSHLINK_CALL* PS2EgetLibTypeFn)(void);
typedef const char*(HUSHLINK_CALL* PS2EgetLibNameFn)(void);
typedef uint32_t(HUSHLINK_CALL* PS2EgetLibVersion2Fn)(uint32_t);
typedef int32_t(HUSHLINK_CALL* FWinitFn)(void);
typedef void(HUSHLINK_CALL* FWshutdownFn)(void);
typedef int32_t(HUSHLINK_CALL* FWopenFn)(void*);
typedef void(HUSHLINK_CALL* FWcloseFn)(void);
typedef uint32_t(HUSHLINK_CALL* FWread32Fn)(uint32_t);
typedef void(HUSHLINK_CALL* FWwrite32Fn)(uint32_t, uint32_t);
typedef void(HUSHLINK_CALL* FWirqCallbackFn)(FWirqHandler);
typedef void(HUSHLINK_CALL* FWconfigureFn)(void);
typedef int32_t(HUSHLINK_CALL* FWtestFn)(void);
typedef void(HUSHLINK_CALL* FWaboutFn)(void);

/* The thirteen entry points with their Windows export numbers and pointer
 * types, for code that walks the whole interface: X(name, number, type). */
#define HUSHLINK_ENTRY_POINTS(X)                 \
  X(PS2EgetLibType, 2, PS2EgetLibTypeFn)         \
  X(PS2EgetLibName, 3, PS2EgetLibNameFn)         \
  X(PS2EgetLibVersion2, 4, PS2EgetLibVersion2Fn) \
  X(FWinit, 5, FWinitFn)                         \
  X(FWshutdown, 6, FWshutdownFn)                 \
  X(FWopen, 7, FWopenFn)                         \
  X(FWclose, 8, FWcloseFn)                       \
  X(FWread32, 11, FWread32Fn)                    \
  X(FWwrite32, 14, FWwrite32Fn)                  \
  X(FWirqCallback, 15, FWirqCallbackFn)          \
  X(FWconfigure, 17, FWconfigureFn)              \
  X(FWtest, 18, FWtestFn)                        \
  X(FWabout, 19, FWaboutFn)

#ifdef __cplusplus
}
#endif

#endif /* HUSHLINK_H */

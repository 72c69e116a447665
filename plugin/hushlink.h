/* SPDX-License-Identifier: GPL-2.0-or-later */
/*
 * Hushlink: a null FireWire controller for the console emulator's FireWire slot.
 *
 * This header is the module's whole exported surface: thirteen plain C entry
 * points, called by the host one at a time on its own threads, and every fact
 * about them that the host and the plugin share. The plugin and the harness
 * compile against it; the module's export lists (Hushlink.def, exports.map)
 * are made from it at build time. Everything else in the module is internal.
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

/* ---- What the host and the plugin agree on ---- */

/* Identification: the host's type code of a FireWire plugin, the name it
 * lists the plugin under, and the version word (0x0002 above, then 0, 6). */
#define HUSHLINK_LIB_TYPE 0x40u
#define HUSHLINK_LIB_NAME "Hushlink Driver"
#define HUSHLINK_LIB_VERSION 0x00020006u

/* The register store: addressed by the low 16 bits of an address. Reads of
 * the fixed-read register, by its full address, always give its value. */
#define HUSHLINK_STORE_SIZE 0x10000u
#define HUSHLINK_FIXED_READ_ADDRESS 0x1F808410u
#define HUSHLINK_FIXED_READ_VALUE 8u

/* Files, in folders of the host's working directory that the plugin never
 * creates: the settings file, and the log. */
#define HUSHLINK_SETTINGS_FOLDER "inis"
#define HUSHLINK_SETTINGS_FILE_NAME "Hushlink.ini"
#define HUSHLINK_LOG_FOLDER "logs"
#define HUSHLINK_LOG_FILE_NAME "Hushlink.log"
#define HUSHLINK_SETTINGS_PATH HUSHLINK_SETTINGS_FOLDER "/" HUSHLINK_SETTINGS_FILE_NAME
#define HUSHLINK_LOG_PATH HUSHLINK_LOG_FOLDER "/" HUSHLINK_LOG_FILE_NAME
/* The settings file's one line: the key, " = ", a signed decimal number
 * (0: logging off, anything else: on) and a line end. */
#define HUSHLINK_LOGGING_KEY "logging"

/* Log lines a reader of the log picks out: the start of each session, and
 * one line per register access, the prefix followed by " 0x%x: 0x%x" with
 * the address as the host gave it and the value read or written. */
#define HUSHLINK_SESSION_START_LINE "Initializing Hushlink"
#define HUSHLINK_READ_LINE_PREFIX "FW read mem"
#define HUSHLINK_WRITE_LINE_PREFIX "FW write mem"

/* The caption of every message box. Outside Windows the boxes appear on the
 * desktop these variables name; with neither set, each is a line of its own
 * on standard error: the caption, ": " and the text. */
#define HUSHLINK_MESSAGE_CAPTION "Message"
#define HUSHLINK_DESKTOP_VARIABLE "DISPLAY"
#define HUSHLINK_WAYLAND_DESKTOP_VARIABLE "WAYLAND_DISPLAY"

#ifdef __cplusplus
extern "C" {
#endif

/* The host's interrupt callback. The null device never raises an interrupt,
 * so the plugin only keeps the pointer. */
typedef void(HUSHLINK_CALL* FWirqHandler)(void);

/* Any time: the host's type code of a FireWire plugin, HUSHLINK_LIB_TYPE. */
HUSHLINK_EXPORT uint32_t HUSHLINK_CALL PS2EgetLibType(void);

/* Any time: HUSHLINK_LIB_NAME; the text lives as long as the module. */
HUSHLINK_EXPORT const char* HUSHLINK_CALL PS2EgetLibName(void);

/* Any time: the version word HUSHLINK_LIB_VERSION, whatever the argument. */
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

/* The register word at the address's low 16 bits; the fixed-read register
 * always reads its value.
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
 * types, for code that walks the whole interface: X(name, number, type).
 * Numbers 9, 10, 12, 13 and 16 carry no entry point. The build makes the
 * module's export lists from these lines, one entry point to a line. */
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

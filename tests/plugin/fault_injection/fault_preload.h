/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The preloaded fault library's controls, as the driver finds them with
 * dlsym: it numbers the calls the module makes for files, memory and
 * processes while an entry point runs, and makes the planned one fail. */
#ifndef HUSHLINK_FAULT_PRELOAD_H
#define HUSHLINK_FAULT_PRELOAD_H

#ifdef __cplusplus
extern "C" {
#endif

/* How a call is made to fail. */
enum FaultMode {
  kFaultError,         /* the call's usual error, nothing done */
  kFaultInterrupted,   /* EINTR, nothing done (a close has let go all the same) */
  kFaultShort,         /* part of the transfer, the rest left to the caller */
  kFaultShortThenFull, /* part of the transfer; the rest finds the disk full */
  kFaultModes
};

/* One numbered call: what it was given, and the modes that fit it. */
struct FaultCall {
  const char* name;
  unsigned modes; /* bit (1 << mode) for each mode that fits */
  int descriptor; /* the one it works on (open, fcntl: the one it gave); -1 */
  long size;      /* bytes asked for, or to be moved */
  char text[96];  /* the path it names, or the first bytes it writes */
};

enum { kFaultMostRecorded = 8192 };

/* hushlinkFaultWatch: numbers only calls whose return address lies in the
 * text of the loaded object whose path is `module`; 0 when no such object is
 * loaded. */
typedef int (*FaultWatchFn)(const char* module);
/* hushlinkFaultArm: numbering on (for the calling thread) or off. */
typedef void (*FaultArmFn)(int on);
/* hushlinkFaultPlan: from now on calls are numbered from 1, and call `k`
 * fails in `mode` (k = 0: none fails). */
typedef void (*FaultPlanFn)(long k, int mode);
/* hushlinkFaultCount, hushlinkFaultCalls: how many calls were numbered, and
 * each of them (the first kFaultMostRecorded). */
typedef long (*FaultCountFn)(void);
typedef const struct FaultCall* (*FaultCallsFn)(void);
/* hushlinkFaultWrapped: the names of the calls it stands in for, as the
 * module imports them, ending with a null. */
typedef const char* const* (*FaultWrappedFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* HUSHLINK_FAULT_PRELOAD_H */

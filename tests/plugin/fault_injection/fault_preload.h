/* SPDX-License-Identifier: GPL-2.0-or-later */
/* The preloaded fault library's controls, as the driver finds them with
 * dlsym: it numbers the calls the module makes for files, memory and
 * processes while an entry point runs, and makes the planned one fail. */
#ifndef HUSHLINK_FAULT_PRELOAD_H
#define HUSHLINK_FAULT_PRELOAD_H

#include "tests/plugin/fault_injection/fault_plan.h"

#ifdef __cplusplus
extern "C" {
#endif

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
/* hushlinkFaultPlan: from now on calls are numbered from 1, and call
 * calls[i] fails in modes[i], for each of the kFaultMostPlanned (a number of
 * 0: none). */
typedef void (*FaultPlanFn)(const long* calls, const int* modes);
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

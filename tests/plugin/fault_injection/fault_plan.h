/* SPDX-License-Identifier: GPL-2.0-or-later */
/* How both platforms' stand-ins number the module's calls and pick the ones
 * that fail: the preloaded library on Linux (fault_preload.c) and the
 * import-table stand-ins on Windows (faults_windows.cpp) each keep one plan
 * and ask it at every call they see while an entry point runs. Written in C
 * for the preloaded library; the Windows stand-ins include it as it is. */
#ifndef HUSHLINK_FAULT_PLAN_H
#define HUSHLINK_FAULT_PLAN_H

#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

/* How a call is made to fail (faults::Mode, in the same order). */
enum FaultMode {
  kFaultError,         /* the call's usual error, nothing done */
  kFaultInterrupted,   /* EINTR, nothing done (a close has let go all the same) */
  kFaultShort,         /* part of the transfer, the rest left to the caller */
  kFaultShortThenFull, /* part of the transfer; the rest finds the disk full */
  kFaultModes
};

/* At most this many calls of one run fail. */
enum { kFaultMostPlanned = 2 };

struct FaultPlan {
  long numbered;                   /* calls numbered so far */
  long planned[kFaultMostPlanned]; /* the numbers of the calls that fail; 0: none */
  int modes[kFaultMostPlanned];    /* and how each fails */
  /* After a short write planned to find the disk full: the call whose next
   * turn is the rest of that write, which finds the disk full unnumbered. */
  const char* fullNext;
};

/* What one call is to do. */
struct FaultTurn {
  long k;   /* its number; 0 when it is the rest of a short write */
  int mode; /* the mode it fails in; -1: it goes through */
  int full; /* the rest of a short write: the disk is full */
};

/* From now on calls are numbered from 1; call calls[i] fails in modes[i]
 * (a number of 0 plans nothing). */
static inline void faultPlanSet(struct FaultPlan* plan, const long* calls, const int* modes) {
  plan->numbered = 0;
  plan->fullNext = NULL;
  for (int i = 0; i < kFaultMostPlanned; ++i) {
    plan->planned[i] = calls[i];
    plan->modes[i] = modes[i];
  }
}

/* Numbers the call `name`, which can fail in `modes` (bit 1 << mode for
 * each), and says whether it fails. A planned call that cannot fail in its
 * planned mode goes through. */
static inline struct FaultTurn faultPlanTake(struct FaultPlan* plan, const char* name,
                                             unsigned modes) {
  struct FaultTurn turn = {0, -1, 0};
  if (plan->fullNext != NULL && strcmp(plan->fullNext, name) == 0) {
    plan->fullNext = NULL;
    turn.full = 1;
    return turn;
  }
  turn.k = ++plan->numbered;
  for (int i = 0; i < kFaultMostPlanned; ++i) {
    if (plan->planned[i] == turn.k && (modes & (1u << plan->modes[i])) != 0) {
      turn.mode = plan->modes[i];
    }
  }
  return turn;
}

/* A write that was cut short by plan: its caller's next `name` finds the
 * disk full. */
static inline void faultPlanFullNext(struct FaultPlan* plan, const char* name) {
  plan->fullNext = name;
}

#ifdef __cplusplus
}
#endif

#endif /* HUSHLINK_FAULT_PLAN_H */

/* SPDX-License-Identifier: GPL-2.0-or-later */
/* Preloaded before the C library, this library stands between the module
 * and every call it makes for files, memory and processes. While the driver
 * has it armed (an entry point is running), it numbers each such call whose
 * return address lies in the module's own text, so that the driver's calls
 * and the C library's calls on the module's behalf do not count, and it makes
 * the planned call fail in the planned way. Anything else passes straight
 * through to the C library.
 *
 * Errors are those the call most often meets: EIO, ENOSPC where bytes are
 * written, ENOMEM for memory, EAGAIN for a new process, and ECHILD for a
 * child the host reaped itself (the child has run by then). A close that
 * fails has let go of its descriptor all the same, as on Linux. */
#define _GNU_SOURCE
#include "tests/plugin/fault_injection/fault_preload.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <link.h>
#include <locale.h>
#include <pthread.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#define EXPORTED __attribute__((visibility("default")))
#define CALLER __builtin_return_address(0)

#define ERROR (1u << kFaultError)
#define INTERRUPTED (1u << kFaultInterrupted)
#define SHORT (1u << kFaultShort)
#define SHORT_THEN_FULL (1u << kFaultShortThenFull)

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);

enum { kMostTextRanges = 8 };

static struct {
  uintptr_t start;
  uintptr_t end;
} text[kMostTextRanges];
static int textRanges;

static int armed;
static pthread_t armedThread;
static struct FaultPlan plan;
static struct FaultCall calls[kFaultMostRecorded];

static const char* const wrapped[] = {
    "open",      "read",       "write",     "pwrite",      "close",    "rename",    "unlink",
    "fsync",     "flock",      "fstat",     "stat",        "lstat",    "readlink",  "access",
    "faccessat", "fchmod",     "fchown",    "listxattr",   "getxattr", "fsetxattr", "ftruncate",
    "fcntl",     "fdopen",     "fclose",    "fwrite",      "fprintf",  "malloc",    "calloc",
    "_Znwm",     "iconv_open", "newlocale", "posix_spawn", "waitpid",  "lseek",     NULL};

struct Search {
  const char* path;
  int found;
};

static int findText(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  struct Search* search = data;
  if (info->dlpi_name == NULL || strcmp(info->dlpi_name, search->path) != 0) return 0;
  search->found = 1;
  textRanges = 0;
  for (int i = 0; i < info->dlpi_phnum && textRanges < kMostTextRanges; ++i) {
    const ElfW(Phdr)* header = &info->dlpi_phdr[i];
    if (header->p_type != PT_LOAD || (header->p_flags & PF_X) == 0) continue;
    text[textRanges].start = info->dlpi_addr + header->p_vaddr;
    text[textRanges].end = text[textRanges].start + header->p_memsz;
    ++textRanges;
  }
  return 1;
}

EXPORTED int hushlinkFaultWatch(const char* module) {
  struct Search search = {module, 0};
  textRanges = 0;
  dl_iterate_phdr(findText, &search);
  return search.found && textRanges > 0;
}

EXPORTED void hushlinkFaultArm(int on) {
  armedThread = pthread_self();
  armed = on;
}

EXPORTED void hushlinkFaultPlan(const long* planned, const int* modes) {
  faultPlanSet(&plan, planned, modes);
}

EXPORTED long hushlinkFaultCount(void) { return plan.numbered; }

EXPORTED const struct FaultCall* hushlinkFaultCalls(void) { return calls; }

EXPORTED const char* const* hushlinkFaultWrapped(void) { return wrapped; }

static int fromModule(const void* caller) {
  const uintptr_t address = (uintptr_t)caller;
  for (int i = 0; i < textRanges; ++i) {
    if (address >= text[i].start && address < text[i].end) return 1;
  }
  return 0;
}

/* What to do with one call. */
struct Turn {
  struct FaultCall* call; /* its record, when it was numbered and recorded */
  int mode;               /* the mode it fails in; -1: it goes through */
  int full;               /* the rest of a short write: the disk is full */
};

/* Numbers the call when it comes from the module while armed. */
static struct Turn take(const char* name, unsigned modes, const void* caller) {
  struct Turn turn = {NULL, -1, 0};
  if (!armed || !pthread_equal(pthread_self(), armedThread) || !fromModule(caller)) return turn;
  const struct FaultTurn numbered = faultPlanTake(&plan, name, modes);
  if (numbered.full) {
    turn.full = 1;
    return turn;
  }
  const long k = numbered.k;
  if (k <= kFaultMostRecorded) {
    turn.call = &calls[k - 1];
    turn.call->name = name;
    turn.call->modes = modes;
    turn.call->descriptor = -1;
    turn.call->size = 0;
    turn.call->text[0] = '\0';
  }
  turn.mode = numbered.mode;
  return turn;
}

static void noteText(struct Turn turn, const char* bytes, size_t size) {
  if (turn.call == NULL || bytes == NULL) return;
  const size_t kept = size < sizeof turn.call->text - 1 ? size : sizeof turn.call->text - 1;
  memcpy(turn.call->text, bytes, kept);
  turn.call->text[kept] = '\0';
}

static void notePath(struct Turn turn, const char* path) {
  if (path != NULL) noteText(turn, path, strlen(path));
}

static void noteDescriptor(struct Turn turn, int descriptor) {
  if (turn.call != NULL) turn.call->descriptor = descriptor;
}

static void noteSize(struct Turn turn, size_t size) {
  if (turn.call != NULL) turn.call->size = (long)size;
}

static int failing(int error) {
  errno = error;
  return -1;
}

/* How much of a transfer a short one moves: some, never all. */
static size_t part(size_t size) { return size / 2 > 0 ? size / 2 : 1; }

/* Short transfers fit only what has more than one byte to move. */
static unsigned transferModes(unsigned modes, size_t size) {
  return size > 1 ? modes : modes & ~(SHORT | SHORT_THEN_FULL);
}

/* The C library's own function of that name, looked up once. */
#define REAL(name)                                                         \
  ({                                                                       \
    static __typeof__(&name) found;                                        \
    if (found == NULL) found = (__typeof__(&name))dlsym(RTLD_NEXT, #name); \
    found;                                                                 \
  })

EXPORTED int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & (O_CREAT | __O_TMPFILE)) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  const struct Turn turn = take("open", ERROR | INTERRUPTED, CALLER);
  notePath(turn, path);
  if (turn.mode == kFaultError) return failing(EIO);
  if (turn.mode == kFaultInterrupted) return failing(EINTR);
  const int descriptor = REAL(open)(path, flags, mode);
  noteDescriptor(turn, descriptor);
  return descriptor;
}

/* A short read gives the first half of what was there and leaves the rest
 * to be read again, as a read that a signal cut short would. */
EXPORTED ssize_t read(int descriptor, void* into, size_t size) {
  const struct Turn turn = take("read", transferModes(ERROR | INTERRUPTED | SHORT, size), CALLER);
  noteDescriptor(turn, descriptor);
  noteSize(turn, size);
  if (turn.mode == kFaultError) return failing(EIO);
  if (turn.mode == kFaultInterrupted) return failing(EINTR);
  const ssize_t got = REAL(read)(descriptor, into, size);
  if (turn.mode != kFaultShort || got < 2) return got;
  const ssize_t kept = got / 2;
  return lseek(descriptor, kept - got, SEEK_CUR) >= 0 ? kept : got;
}

/* write and pwrite alike: `place` is -1 for write. */
static ssize_t writeSome(const char* name, int descriptor, const void* bytes, size_t size,
                         off_t place, const void* caller) {
  const struct Turn turn =
      take(name, transferModes(ERROR | INTERRUPTED | SHORT | SHORT_THEN_FULL, size), caller);
  noteDescriptor(turn, descriptor);
  noteSize(turn, size);
  noteText(turn, bytes, size);
  if (turn.full || turn.mode == kFaultError) return failing(ENOSPC);
  if (turn.mode == kFaultInterrupted) return failing(EINTR);
  if (turn.mode == kFaultShort || turn.mode == kFaultShortThenFull) size = part(size);
  if (turn.mode == kFaultShortThenFull) faultPlanFullNext(&plan, name);
  return place < 0 ? REAL(write)(descriptor, bytes, size)
                   : REAL(pwrite)(descriptor, bytes, size, place);
}

EXPORTED ssize_t write(int descriptor, const void* bytes, size_t size) {
  return writeSome("write", descriptor, bytes, size, -1, CALLER);
}

EXPORTED ssize_t pwrite(int descriptor, const void* bytes, size_t size, off_t place) {
  return writeSome("pwrite", descriptor, bytes, size, place, CALLER);
}

EXPORTED int close(int descriptor) {
  const struct Turn turn = take("close", ERROR | INTERRUPTED, CALLER);
  noteDescriptor(turn, descriptor);
  const int closed = REAL(close)(descriptor);
  if (turn.mode == kFaultError) return failing(EIO);
  if (turn.mode == kFaultInterrupted) return failing(EINTR);
  return closed;
}

/* Calls that either happen or fail with `error`, and take a path. */
#define PATH_CALL(name, error, path, ...)              \
  const struct Turn turn = take(#name, ERROR, CALLER); \
  notePath(turn, path);                                \
  if (turn.mode == kFaultError) return failing(error); \
  return REAL(name)(__VA_ARGS__)

/* The same, for calls on a descriptor. */
#define DESCRIPTOR_CALL(name, modes, error, descriptor, ...) \
  const struct Turn turn = take(#name, modes, CALLER);       \
  noteDescriptor(turn, descriptor);                          \
  if (turn.mode == kFaultError) return failing(error);       \
  if (turn.mode == kFaultInterrupted) return failing(EINTR); \
  return REAL(name)(__VA_ARGS__)

EXPORTED int rename(const char* from, const char* to) { PATH_CALL(rename, EIO, to, from, to); }

EXPORTED int unlink(const char* path) { PATH_CALL(unlink, EIO, path, path); }

EXPORTED int stat(const char* path, struct stat* info) { PATH_CALL(stat, EIO, path, path, info); }

EXPORTED int lstat(const char* path, struct stat* info) { PATH_CALL(lstat, EIO, path, path, info); }

EXPORTED ssize_t readlink(const char* path, char* into, size_t size) {
  PATH_CALL(readlink, EIO, path, path, into, size);
}

EXPORTED int access(const char* path, int how) { PATH_CALL(access, EIO, path, path, how); }

EXPORTED int faccessat(int folder, const char* path, int how, int flags) {
  PATH_CALL(faccessat, EIO, path, folder, path, how, flags);
}

EXPORTED ssize_t listxattr(const char* path, char* into, size_t size) {
  PATH_CALL(listxattr, EIO, path, path, into, size);
}

EXPORTED ssize_t getxattr(const char* path, const char* name, void* into, size_t size) {
  PATH_CALL(getxattr, EIO, path, path, name, into, size);
}

EXPORTED int fsync(int descriptor) {
  DESCRIPTOR_CALL(fsync, ERROR | INTERRUPTED, EIO, descriptor, descriptor);
}

EXPORTED int flock(int descriptor, int operation) {
  DESCRIPTOR_CALL(flock, ERROR | INTERRUPTED, ENOLCK, descriptor, descriptor, operation);
}

EXPORTED int ftruncate(int descriptor, off_t size) {
  DESCRIPTOR_CALL(ftruncate, ERROR | INTERRUPTED, EIO, descriptor, descriptor, size);
}

/* Asked where a log write that came back short ended; a pipe has no offset. */
EXPORTED off_t lseek(int descriptor, off_t offset, int whence) {
  DESCRIPTOR_CALL(lseek, ERROR, ESPIPE, descriptor, descriptor, offset, whence);
}

EXPORTED int fstat(int descriptor, struct stat* info) {
  DESCRIPTOR_CALL(fstat, ERROR, EIO, descriptor, descriptor, info);
}

EXPORTED int fchmod(int descriptor, mode_t mode) {
  DESCRIPTOR_CALL(fchmod, ERROR, EIO, descriptor, descriptor, mode);
}

EXPORTED int fchown(int descriptor, uid_t owner, gid_t group) {
  DESCRIPTOR_CALL(fchown, ERROR, EIO, descriptor, descriptor, owner, group);
}

EXPORTED int fsetxattr(int descriptor, const char* name, const void* value, size_t size,
                       int flags) {
  DESCRIPTOR_CALL(fsetxattr, ERROR, ENOSPC, descriptor, descriptor, name, value, size, flags);
}

EXPORTED int fcntl(int descriptor, int command, ...) {
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  const unsigned modes = command == F_DUPFD || command == F_DUPFD_CLOEXEC ? ERROR : 0;
  const struct Turn turn = take("fcntl", modes, CALLER);
  if (turn.mode == kFaultError) return failing(EMFILE);
  const int result = REAL(fcntl)(descriptor, command, argument);
  noteDescriptor(turn, modes != 0 ? result : descriptor);
  return result;
}

EXPORTED FILE* fdopen(int descriptor, const char* how) {
  const struct Turn turn = take("fdopen", ERROR, CALLER);
  noteDescriptor(turn, descriptor);
  if (turn.mode == kFaultError) {
    errno = ENOMEM;
    return NULL;
  }
  return REAL(fdopen)(descriptor, how);
}

EXPORTED int fclose(FILE* stream) {
  const struct Turn turn = take("fclose", ERROR, CALLER);
  if (turn.call != NULL) noteDescriptor(turn, fileno(stream));
  const int closed = REAL(fclose)(stream);
  if (turn.mode != kFaultError) return closed;
  errno = EIO;
  return EOF;
}

/* Stream output: the stream folds an interruption or a short write into its
 * own error, so those come as an error, or as part written and then a full
 * disk. */
static size_t writeToStream(struct Turn turn, FILE* stream, const void* bytes, size_t size) {
  if (turn.call != NULL) noteDescriptor(turn, fileno(stream));
  noteSize(turn, size);
  noteText(turn, bytes, size);
  if (turn.mode == kFaultError) {
    errno = ENOSPC;
    return 0;
  }
  if (turn.mode != kFaultShortThenFull) return REAL(fwrite)(bytes, 1, size, stream);
  const size_t written = REAL(fwrite)(bytes, 1, part(size), stream);
  errno = ENOSPC;
  return written;
}

EXPORTED size_t fwrite(const void* bytes, size_t size, size_t count, FILE* stream) {
  const size_t total = size * count;
  const struct Turn turn = take("fwrite", transferModes(ERROR | SHORT_THEN_FULL, total), CALLER);
  if (turn.call == NULL && turn.mode < 0) return REAL(fwrite)(bytes, size, count, stream);
  const size_t written = writeToStream(turn, stream, bytes, total);
  return size > 0 ? written / size : 0;
}

EXPORTED int fprintf(FILE* stream, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const struct Turn turn = take("fprintf", ERROR | SHORT_THEN_FULL, CALLER);
  if (turn.call == NULL && turn.mode < 0) {
    const int printed = vfprintf(stream, format, arguments);
    va_end(arguments);
    return printed;
  }
  char formatted[1024];
  const int size = vsnprintf(formatted, sizeof formatted, format, arguments);
  va_end(arguments);
  if (size < 0 || (size_t)size >= sizeof formatted) return failing(EOVERFLOW);
  const size_t written = writeToStream(turn, stream, formatted, (size_t)size);
  return written == (size_t)size ? size : -1;
}

EXPORTED void* malloc(size_t size) {
  const struct Turn turn = take("malloc", ERROR, CALLER);
  noteSize(turn, size);
  if (turn.mode == kFaultError) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

EXPORTED void* calloc(size_t count, size_t size) {
  const struct Turn turn = take("calloc", ERROR, CALLER);
  noteSize(turn, count * size);
  if (turn.mode == kFaultError) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

/* operator new, from fault_new.cpp: whether this allocation fails. */
__attribute__((visibility("hidden"))) int hushlinkFaultNew(const void* caller, size_t size) {
  const struct Turn turn = take("operator new", ERROR, caller);
  noteSize(turn, size);
  return turn.mode == kFaultError;
}

EXPORTED iconv_t iconv_open(const char* to, const char* from) {
  const struct Turn turn = take("iconv_open", ERROR, CALLER);
  notePath(turn, from);
  if (turn.mode == kFaultError) {
    errno = ENOMEM;
    return (iconv_t)-1;
  }
  return REAL(iconv_open)(to, from);
}

EXPORTED locale_t newlocale(int categories, const char* name, locale_t base) {
  const struct Turn turn = take("newlocale", ERROR, CALLER);
  notePath(turn, name);
  if (turn.mode == kFaultError) {
    errno = ENOMEM;
    return (locale_t)0;
  }
  return REAL(newlocale)(categories, name, base);
}

EXPORTED int posix_spawn(pid_t* child, const char* path, const posix_spawn_file_actions_t* actions,
                         const posix_spawnattr_t* attributes, char* const arguments[],
                         char* const environment[]) {
  const struct Turn turn = take("posix_spawn", ERROR, CALLER);
  notePath(turn, path);
  if (turn.mode == kFaultError) return EAGAIN;
  return REAL(posix_spawn)(child, path, actions, attributes, arguments, environment);
}

/* ECHILD the way a host that reaps its own children causes it: the child
 * ran and ended, and its status went elsewhere. */
EXPORTED pid_t waitpid(pid_t child, int* status, int options) {
  const struct Turn turn = take("waitpid", ERROR | INTERRUPTED, CALLER);
  if (turn.mode == kFaultInterrupted) return failing(EINTR);
  const pid_t waited = REAL(waitpid)(child, status, options);
  if (turn.mode == kFaultError && waited > 0) return failing(ECHILD);
  return waited;
}

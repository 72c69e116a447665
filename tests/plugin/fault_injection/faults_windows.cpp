// SPDX-License-Identifier: GPL-2.0-or-later
// The calls failed through the loaded DLL's import table: each entry of a
// call the module makes for files, memory and processes is pointed at a
// stand-in here, which numbers the call and fails it as planned, or hands it
// on. Everything in the DLL reaches those calls through that table, its own
// copy of the language runtime included, so every call counted is the
// module's. The runs share this process, each with the DLL loaded afresh; a
// run that crashes or hangs ends the program, naming itself first.
//
// The errors are those Windows most often gives there: a sharing violation
// for opening, moving and deleting, a full disk for writing, no memory for
// allocating, access denied for a file's security and attributes.
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <type_traits>

#include "plugin/settings/file_system.h"
#include "plugin/windows_names.h"
#include "tests/plugin/fault_injection/fault_plan.h"
#include "tests/plugin/fault_injection/faults.h"
#include "tests/support/test_support.h"
#include "tests/support/windows_support.h"

namespace hushlink::testing::faults {

namespace {

constexpr ULONGLONG kLongestRunMs = 30000;

struct State {
  bool armed = false;
  DWORD armedThread = 0;
  FaultPlan plan = {};
  HANDLE log = INVALID_HANDLE_VALUE;
  std::vector<Record> records;
  std::vector<std::string> boxes;
};

State state;

// What to do with one call.
struct Turn {
  Record* record = nullptr;  // when it was numbered
  std::optional<Mode> fails;
  bool full = false;  // the rest of a short write: the disk is full
};

const std::vector<Mode> kFails = {Mode::Error};
const std::vector<Mode> kTransfers = {Mode::Error, Mode::Short};
const std::vector<Mode> kWrites = {Mode::Error, Mode::Short, Mode::ShortThenFull};
const std::vector<Mode> kStreamWrites = {Mode::Error, Mode::ShortThenFull};

// Numbers the call when it comes while an entry point runs on the armed
// thread. Short transfers fit only what has more than one byte to move.
Turn take(const char* name, const std::vector<Mode>& modes, std::size_t size = 2) {
  Turn turn;
  if (!state.armed || GetCurrentThreadId() != state.armedThread) return turn;
  Record record;
  record.name = name;
  unsigned fitting = 0;
  for (const Mode mode : modes) {
    if (size > 1 || (mode != Mode::Short && mode != Mode::ShortThenFull)) {
      record.modes.push_back(mode);
      fitting |= 1u << static_cast<unsigned>(mode);
    }
  }
  const FaultTurn numbered = faultPlanTake(&state.plan, name, fitting);
  if (numbered.full) {
    turn.full = true;
    return turn;
  }
  if (numbered.mode >= 0) turn.fails = static_cast<Mode>(numbered.mode);
  state.records.push_back(std::move(record));
  turn.record = &state.records.back();
  return turn;
}

bool failsAs(const Turn& turn, Mode mode) { return turn.fails == mode; }
bool cutShort(const Turn& turn) {
  return turn.fails == Mode::Short || turn.fails == Mode::ShortThenFull;
}

std::size_t part(std::size_t size) { return std::max<std::size_t>(size / 2, 1); }

void notePath(const Turn& turn, const wchar_t* path) {
  if (turn.record != nullptr && path != nullptr) turn.record->text = utf8(path);
}

void noteHandle(const Turn& turn, HANDLE handle) {
  if (turn.record == nullptr || handle == nullptr) return;
  char shown[32];
  std::snprintf(shown, sizeof shown, "%#llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
  turn.record->object = shown;
}

void noteDescriptor(const Turn& turn, int descriptor) {
  if (turn.record != nullptr) turn.record->object = std::to_string(descriptor);
}

void noteBytes(const Turn& turn, const void* bytes, std::size_t size) {
  if (turn.record == nullptr) return;
  turn.record->size = size;
  turn.record->text.assign(static_cast<const char*>(bytes), std::min<std::size_t>(size, 95));
}

bool endsWith(std::wstring_view text, std::wstring_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// ---- the stand-ins ----

// An entry of the table below: the stand-in for the import `name`, and
// where the call it stands in for is kept.
struct StandIn {
  const char* name;
  void* standIn;
  void** real;  // null: a stand-in that never hands on
};

// The common shape: the call either happens or fails at once, having done
// nothing, with `error` as the system's last error (or, for the C runtime's
// calls, as errno) and `failed` as what it returns. It notes one of its
// arguments, the one at `noted`, as what a report shows of it.
enum class Noted { Nothing, Path, Handle, Descriptor };
enum class ErrorIn { LastError, Errno };

struct Common {
  char name[32];
  long long failed;  // the value returned, converted to the call's result type
  unsigned long error;
  ErrorIn errorIn = ErrorIn::LastError;
  Noted notes = Noted::Nothing;
  int noted = 0;     // the argument noted
  int flagsAt = -1;  // the argument that holds the flags it is given, noted too
};

template <Common kCall, typename Result, typename... Arguments>
bool failsCommonly(Arguments... arguments) {
  const Turn turn = take(kCall.name, kFails);
  if constexpr (kCall.notes != Noted::Nothing) {
    const auto argument = std::get<kCall.noted>(std::tuple<Arguments...>(arguments...));
    if constexpr (kCall.notes == Noted::Path) notePath(turn, argument);
    if constexpr (kCall.notes == Noted::Handle) noteHandle(turn, (HANDLE)argument);
    if constexpr (kCall.notes == Noted::Descriptor) noteDescriptor(turn, argument);
  }
  if constexpr (kCall.flagsAt >= 0) {
    if (turn.record != nullptr) {
      turn.record->flags = std::get<kCall.flagsAt>(std::tuple<Arguments...>(arguments...));
    }
  }
  if (!turn.fails) return false;
  if (kCall.errorIn == ErrorIn::Errno) {
    errno = static_cast<int>(kCall.error);
  } else {
    SetLastError(kCall.error);
  }
  return true;
}

template <typename Result>
Result failedResult(long long value) {
  if constexpr (std::is_pointer_v<Result>) {
    return reinterpret_cast<Result>(static_cast<std::intptr_t>(value));
  } else {
    return static_cast<Result>(value);
  }
}

// The stand-in of one common call, with the call's own calling convention.
template <Common kCall, typename Fn>
struct CommonStandIn;

#define HUSHLINK_COMMON_STAND_IN(CONVENTION)                        \
  template <Common kCall, typename Result, typename... Arguments>   \
  struct CommonStandIn<kCall, Result(CONVENTION*)(Arguments...)> {  \
    static inline Result(CONVENTION* real)(Arguments...) = nullptr; \
    static Result CONVENTION call(Arguments... arguments) {         \
      if (failsCommonly<kCall, Result>(arguments...)) {             \
        return failedResult<Result>(kCall.failed);                  \
      }                                                             \
      return real(arguments...);                                    \
    }                                                               \
  };
HUSHLINK_COMMON_STAND_IN(WINAPI)
#ifndef _WIN64
// The C runtime's calls; on 64-bit Windows there is one convention.
HUSHLINK_COMMON_STAND_IN(__cdecl)
#endif
#undef HUSHLINK_COMMON_STAND_IN

template <Common kCall, typename Fn>
StandIn commonStandIn() {
  using Made = CommonStandIn<kCall, Fn>;
  static_assert(std::is_same_v<decltype(&Made::call), Fn>, "the stand-in has the call's type");
  return {kCall.name, reinterpret_cast<void*>(&Made::call), reinterpret_cast<void**>(&Made::real)};
}

// COMMON_STAND_IN(call, failed, error[, errorIn, notes, noted[, flagsAt]]): the table's
// entry for a call of the common shape.
#define COMMON_STAND_IN(call, ...) commonStandIn<Common{#call, __VA_ARGS__}, decltype(&call)>()

// The stand-ins that do more than fail at once.

decltype(&CreateFileW) realCreateFileW;
decltype(&ReadFile) realReadFile;
decltype(&WriteFile) realWriteFile;
decltype(&WaitForSingleObject) realWaitForSingleObject;
decltype(&CloseHandle) realCloseHandle;
decltype(&_close) realClose;
decltype(&fclose) realFclose;
decltype(&fwrite) realFwrite;
decltype(&malloc) realMalloc;
decltype(&calloc) realCalloc;
decltype(&realloc) realRealloc;
decltype(&_strdup) realStrdup;

BOOL failing(DWORD error) {
  SetLastError(error);
  return FALSE;
}

HANDLE WINAPI standInCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE model) {
  const Turn turn = take("CreateFileW", kFails);
  notePath(turn, path);
  if (turn.fails) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE file = realCreateFileW(path, access, share, security, disposition, flags, model);
  if (turn.record != nullptr && file != INVALID_HANDLE_VALUE) {
    noteHandle(turn, file);
    turn.record->gave = std::move(turn.record->object);
    turn.record->object.clear();
  }
  if (turn.record != nullptr && (access & FILE_APPEND_DATA) != 0 &&
      (endsWith(path, L"logs/Hushlink.log") || endsWith(path, L"logs\\Hushlink.log"))) {
    state.log = file;
  }
  return file;
}

BOOL WINAPI standInReadFile(HANDLE file, LPVOID into, DWORD size, LPDWORD got,
                            LPOVERLAPPED overlapped) {
  const Turn turn = take("ReadFile", kTransfers, size);
  noteHandle(turn, file);
  if (turn.record != nullptr) turn.record->size = size;
  if (failsAs(turn, Mode::Error)) return failing(ERROR_LOCK_VIOLATION);
  const BOOL read = realReadFile(file, into, size, got, overlapped);
  // A short read gives the first half of what was there and leaves the
  // rest to be read again.
  if (!cutShort(turn) || !read || got == nullptr || *got < 2) return read;
  const DWORD kept = *got / 2;
  LARGE_INTEGER back;
  back.QuadPart = -static_cast<LONGLONG>(*got - kept);
  if (SetFilePointerEx(file, back, nullptr, FILE_CURRENT)) *got = kept;
  return read;
}

BOOL WINAPI standInWriteFile(HANDLE file, LPCVOID bytes, DWORD size, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  const Turn turn = take("WriteFile", kWrites, size);
  noteHandle(turn, file);
  noteBytes(turn, bytes, size);
  if (turn.record != nullptr && file == state.log) turn.record->role = Role::LogWrite;
  if (turn.full || failsAs(turn, Mode::Error)) {
    if (written != nullptr) *written = 0;
    return failing(ERROR_DISK_FULL);
  }
  if (cutShort(turn)) size = static_cast<DWORD>(part(size));
  if (failsAs(turn, Mode::ShortThenFull)) faultPlanFullNext(&state.plan, "WriteFile");
  return realWriteFile(file, bytes, size, written, overlapped);
}

// Another saver keeps the turn past the wait.
DWORD WINAPI standInWaitForSingleObject(HANDLE object, DWORD milliseconds) {
  const Turn turn = take("WaitForSingleObject", kFails);
  noteHandle(turn, object);
  if (turn.fails) return WAIT_TIMEOUT;
  return realWaitForSingleObject(object, milliseconds);
}

// Closed all the same: a close that reports a failure has let go.
BOOL WINAPI standInCloseHandle(HANDLE object) {
  const Turn turn = take("CloseHandle", kFails);
  noteHandle(turn, object);
  const BOOL closed = realCloseHandle(object);
  if (turn.fails) return failing(ERROR_IO_DEVICE);
  return closed;
}

int __cdecl standInClose(int descriptor) {
  const Turn turn = take("_close", kFails);
  noteDescriptor(turn, descriptor);
  const int closed = realClose(descriptor);
  if (!turn.fails) return closed;
  errno = EIO;
  return -1;
}

int __cdecl standInFclose(FILE* stream) {
  const Turn turn = take("fclose", kFails);
  const int closed = realFclose(stream);
  if (!turn.fails) return closed;
  errno = EIO;
  return EOF;
}

size_t __cdecl standInFwrite(const void* bytes, size_t size, size_t count, FILE* stream) {
  const std::size_t total = size * count;
  const Turn turn = take("fwrite", kStreamWrites, total);
  noteBytes(turn, bytes, total);
  if (failsAs(turn, Mode::Error)) {
    errno = ENOSPC;
    return 0;
  }
  if (!failsAs(turn, Mode::ShortThenFull)) return realFwrite(bytes, size, count, stream);
  const std::size_t written = realFwrite(bytes, 1, part(total), stream);
  errno = ENOSPC;
  return size > 0 ? written / size : 0;
}

// An allocation of `size` bytes: whether it fails.
bool allocationFails(const char* name, std::size_t size) {
  const Turn turn = take(name, kFails);
  if (turn.record != nullptr) {
    turn.record->role = Role::Allocation;
    turn.record->size = size;
  }
  if (turn.fails) errno = ENOMEM;
  return turn.fails.has_value();
}

void* __cdecl standInMalloc(size_t size) {
  return allocationFails("malloc", size) ? nullptr : realMalloc(size);
}

void* __cdecl standInCalloc(size_t count, size_t size) {
  return allocationFails("calloc", count * size) ? nullptr : realCalloc(count, size);
}

void* __cdecl standInRealloc(void* block, size_t size) {
  return allocationFails("realloc", size) ? nullptr : realRealloc(block, size);
}

// Its size is not known before the copy: recorded as none.
char* __cdecl standInStrdup(const char* text) {
  return allocationFails("_strdup", 0) ? nullptr : realStrdup(text);
}

// The message boxes, answered at once: not failed, only read.
int WINAPI standInMessageBoxW(HWND, LPCWSTR text, LPCWSTR, UINT) {
  state.boxes.push_back(utf8(text));
  return IDOK;
}

// The 8-bit box shows the stored bytes, which read right only where the
// system's code page is theirs: beyond ASCII, recorded as "?".
int WINAPI standInMessageBoxA(HWND, LPCSTR text, LPCSTR, UINT) {
  std::string shown = text;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  state.boxes.push_back(shown);
  return IDOK;
}

template <typename Fn>
StandIn standIn(const char* name, Fn standInFunction, Fn* real) {
  return {name, reinterpret_cast<void*>(standInFunction), reinterpret_cast<void**>(real)};
}

constexpr auto kLastError = ErrorIn::LastError;
constexpr auto kErrno = ErrorIn::Errno;

const StandIn kStandIns[] = {
    standIn("CreateFileW", &standInCreateFileW, &realCreateFileW),
    standIn("ReadFile", &standInReadFile, &realReadFile),
    standIn("WriteFile", &standInWriteFile, &realWriteFile),
    COMMON_STAND_IN(SetFilePointerEx, FALSE, ERROR_IO_DEVICE, kLastError, Noted::Handle, 0),
    COMMON_STAND_IN(SetEndOfFile, FALSE, ERROR_DISK_FULL, kLastError, Noted::Handle, 0),
    COMMON_STAND_IN(FlushFileBuffers, FALSE, ERROR_DISK_FULL, kLastError, Noted::Handle, 0),
    COMMON_STAND_IN(GetFileAttributesW, INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED, kLastError,
                    Noted::Path, 0),
    COMMON_STAND_IN(GetFileAttributesExW, FALSE, ERROR_ACCESS_DENIED, kLastError, Noted::Path, 0),
    COMMON_STAND_IN(GetFileInformationByHandle, FALSE, ERROR_IO_DEVICE, kLastError, Noted::Handle,
                    0),
    COMMON_STAND_IN(GetFileType, FILE_TYPE_UNKNOWN, ERROR_IO_DEVICE, kLastError, Noted::Handle, 0),
    COMMON_STAND_IN(GetFinalPathNameByHandleW, 0, ERROR_NOT_ENOUGH_MEMORY, kLastError,
                    Noted::Handle, 0),
    COMMON_STAND_IN(GetFullPathNameW, 0, ERROR_FILENAME_EXCED_RANGE, kLastError, Noted::Path, 0),
    COMMON_STAND_IN(GetFileSecurityW, FALSE, ERROR_ACCESS_DENIED, kLastError, Noted::Path, 0),
    COMMON_STAND_IN(SetKernelObjectSecurity, FALSE, ERROR_ACCESS_DENIED, kLastError, Noted::Handle,
                    0),
    COMMON_STAND_IN(SetFileInformationByHandle, FALSE, ERROR_ACCESS_DENIED, kLastError,
                    Noted::Handle, 0),
    COMMON_STAND_IN(MoveFileExW, FALSE, ERROR_SHARING_VIOLATION, kLastError, Noted::Path, 1, 2),
    COMMON_STAND_IN(DeleteFileW, FALSE, ERROR_SHARING_VIOLATION, kLastError, Noted::Path, 0),
    COMMON_STAND_IN(CreateMutexW, 0, ERROR_ACCESS_DENIED, kLastError, Noted::Path, 2),
    standIn("WaitForSingleObject", &standInWaitForSingleObject, &realWaitForSingleObject),
    // Not released: the mutex stays this thread's until its last handle goes.
    COMMON_STAND_IN(ReleaseMutex, FALSE, ERROR_NOT_OWNER, kLastError, Noted::Handle, 0),
    standIn("CloseHandle", &standInCloseHandle, &realCloseHandle),
    COMMON_STAND_IN(DuplicateHandle, FALSE, ERROR_NOT_ENOUGH_MEMORY, kLastError, Noted::Handle, 1),
    COMMON_STAND_IN(OpenProcess, 0, ERROR_INVALID_PARAMETER),
    COMMON_STAND_IN(CreateFileMappingW, 0, ERROR_NOT_ENOUGH_MEMORY, kLastError, Noted::Path, 5),
    COMMON_STAND_IN(MapViewOfFile, 0, ERROR_NOT_ENOUGH_MEMORY, kLastError, Noted::Handle, 0),
    COMMON_STAND_IN(_open_osfhandle, -1, EMFILE, kErrno, Noted::Handle, 0),
    COMMON_STAND_IN(_fdopen, 0, ENOMEM, kErrno, Noted::Descriptor, 0),
    standIn("_close", &standInClose, &realClose),
    standIn("fclose", &standInFclose, &realFclose),
    standIn("fwrite", &standInFwrite, &realFwrite),
    COMMON_STAND_IN(fflush, EOF, ENOSPC, kErrno),
    standIn("malloc", &standInMalloc, &realMalloc),
    standIn("calloc", &standInCalloc, &realCalloc),
    standIn("realloc", &standInRealloc, &realRealloc),
    standIn("_strdup", &standInStrdup, &realStrdup),
    {"MessageBoxW", reinterpret_cast<void*>(&standInMessageBoxW), nullptr},
    {"MessageBoxA", reinterpret_cast<void*>(&standInMessageBoxA), nullptr},
};

#undef COMMON_STAND_IN

// Calls `visit(name, slot)` for each entry of the module's import table
// that names its call.
template <typename Visit>
void forEachImport(HMODULE module, Visit visit) {
  auto* const base = reinterpret_cast<BYTE*>(module);
  const auto* const dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* const headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) return;
  for (auto* library = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       library->Name != 0; ++library) {
    const DWORD namesAt =
        library->OriginalFirstThunk != 0 ? library->OriginalFirstThunk : library->FirstThunk;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesAt);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      visit(reinterpret_cast<const char*>(byName->Name), slots);
    }
  }
}

HMODULE loadedModule() {
  const HMODULE module = GetModuleHandleA(HUSHLINK_MODULE);
  if (module == nullptr) throw std::runtime_error("the module " HUSHLINK_MODULE " is not loaded");
  return module;
}

// Points the module's import entries at the stand-ins, once per load.
void pointImportsAtStandIns(HMODULE module) {
  forEachImport(module, [](const char* name, IMAGE_THUNK_DATA* slot) {
    for (const StandIn& entry : kStandIns) {
      if (std::strcmp(entry.name, name) != 0) continue;
      auto* const address = reinterpret_cast<void**>(&slot->u1.Function);
      if (*address == entry.standIn) return;
      if (entry.real != nullptr) *entry.real = *address;
      DWORD protection = 0;
      VirtualProtect(address, sizeof *address, PAGE_READWRITE, &protection);
      *address = entry.standIn;
      VirtualProtect(address, sizeof *address, protection, &protection);
      return;
    }
  });
}

}  // namespace

std::string unavailable() { return {}; }

Injector::Injector() {
  pointImportsAtStandIns(loadedModule());
  plan(Plan{});
}

Injector::~Injector() {
  state.armed = false;
  plan(Plan{});
}

void Injector::plan(const Plan& plan) {
  const long calls[kFaultMostPlanned] = {plan.k, plan.second.k};
  const int modes[kFaultMostPlanned] = {static_cast<int>(plan.mode),
                                        static_cast<int>(plan.second.mode)};
  faultPlanSet(&state.plan, calls, modes);
  state.log = INVALID_HANDLE_VALUE;
  state.records.clear();
  entered_.clear();
}

void Injector::during(const char* name, const std::function<void()>& call) {
  entered_.emplace_back(state.plan.numbered + 1, name);
  state.armedThread = GetCurrentThreadId();
  state.armed = true;
  call();
  state.armed = false;
}

std::vector<Call> Injector::calls() const { return describedCalls(state.records, entered_); }

struct MessageWatch::Watch {};

MessageWatch::MessageWatch(bool) : watch_(new Watch) { state.boxes.clear(); }

MessageWatch::~MessageWatch() { delete watch_; }

std::vector<std::string> MessageWatch::shown() const { return state.boxes; }

std::string MessageWatch::stray() const { return {}; }

void MessageWatch::restart() { state.boxes.clear(); }

namespace {

// SystemExtendedHandleInformation, which Wine answers as Windows does (its
// GetProcessHandleCount says 0).
constexpr ULONG kHandleList = 64;

struct HandleEntry {
  PVOID object;
  ULONG_PTR process;
  ULONG_PTR handle;
  ULONG access;
  USHORT backTrace;
  USHORT type;
  ULONG attributes;
  ULONG reserved;
};

struct HandleList {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry handles[1];
};

// The language runtime opens handles of its own the first time a thread
// throws (its threading library's event, semaphores and a handle to the
// thread), and keeps them past the DLL's unload. Only handles of the kinds
// the module's own calls open are counted.
bool ofTheModulesKind(const HandleEntry& entry) {
  static std::map<USHORT, bool> kinds;
  const auto known = kinds.find(entry.type);
  if (known != kinds.end()) return known->second;
  alignas(8) unsigned char information[1024];
  const bool named = NtQueryObject(reinterpret_cast<HANDLE>(entry.handle), ObjectTypeInformation,
                                   information, sizeof information, nullptr) == 0;
  const std::wstring kind =
      named ? std::wstring(reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(information)
                               ->TypeName.Buffer,
                           reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(information)
                                   ->TypeName.Length /
                               sizeof(wchar_t))
            : L"";
  const bool ours =
      kind == L"File" || kind == L"Mutant" || kind == L"Section" || kind == L"Process";
  if (named) kinds[entry.type] = ours;
  return ours;
}

// MutantBasicInformation: the mutex's count is 1 while nobody holds it.
constexpr int kMutantBasicInformation = 0;
struct MutantState {
  LONG count;
  BOOLEAN ownedByCaller;
  BOOLEAN abandoned;
};

}  // namespace

extern "C" NTSTATUS NTAPI NtQueryMutant(HANDLE mutex, int what, PVOID into, ULONG size,
                                        PULONG needed);

std::size_t openHandles() {
  // The system opens the folder of named objects for the process at its
  // first named object and keeps it: opened here first, it is open before
  // any count.
  static const bool namedObjectsFolderOpen = [] {
    CloseHandle(CreateMutexW(nullptr, FALSE, L"Local\\Hushlink-fault-injection"));
    return true;
  }();
  (void)namedObjectsFolderOpen;
  static std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    const NTSTATUS status =
        NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kHandleList), buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) break;
    if (buffer.size() >= (64u << 20)) throw std::runtime_error("cannot list the open handles");
    buffer.resize(buffer.size() * 2);
  }
  const auto* list = reinterpret_cast<const HandleList*>(buffer.data());
  const ULONG_PTR self = GetCurrentProcessId();
  std::size_t open = 0;
  for (ULONG_PTR i = 0; i < list->count; ++i) {
    const HandleEntry& entry = list->handles[i];
    if (entry.process == self && ofTheModulesKind(entry)) ++open;
  }
  return open;
}

// The turn is the mutex the module names.
bool turnIsFree(const std::string& file) {
  files::Target target;
  target.path = file;
  const std::string name = files::turnName(target);
  if (name.empty()) return false;
  const HANDLE mutex =
      OpenMutexW(SYNCHRONIZE | MUTANT_QUERY_STATE, FALSE, widenedPath(name).c_str());
  // No such mutex: nobody holds a handle to it, let alone the turn.
  if (mutex == nullptr) return GetLastError() == ERROR_FILE_NOT_FOUND;
  MutantState state{};
  const bool known =
      NtQueryMutant(mutex, kMutantBasicInformation, &state, sizeof state, nullptr) == 0;
  CloseHandle(mutex);
  return known && state.count > 0;
}

namespace {

// The run under way, for a crash or a hang to name.
std::atomic<long> runUnderWay{-1};
std::atomic<ULONGLONG> runStarted{0};
const std::function<std::string(std::size_t)>* describeRun = nullptr;

void nameTheRun(const char* what) {
  const long run = runUnderWay;
  if (run < 0 || describeRun == nullptr) return;
  std::fprintf(stderr, "%s: %s\n", (*describeRun)(static_cast<std::size_t>(run)).c_str(), what);
  std::fflush(stderr);
}

LONG WINAPI reportCrash(EXCEPTION_POINTERS* exception) {
  char what[64];
  std::snprintf(what, sizeof what, "the process crashed (exception %#lx)",
                static_cast<unsigned long>(exception->ExceptionRecord->ExceptionCode));
  nameTheRun(what);
  return EXCEPTION_CONTINUE_SEARCH;
}

void reportAbort(int) { nameTheRun("the process was aborted"); }

}  // namespace

namespace {

// Two more processes of this program, running the same test, each take
// every other run: Wine runs the two side by side. Each writes its reports to
// the file the first variable names, as "INDEX SIZE\n" and the report; the
// second says which half it takes. The test's own process makes none of the
// runs: each loads the module afresh, and the 32-bit language runtime's
// thread library keeps a thread-local slot at every load, so one process
// making every run of the sweep would run out of slots.
constexpr const char* kShareVariable = "HUSHLINK_FAULT_SHARE";
constexpr const char* kHalfVariable = "HUSHLINK_FAULT_SHARE_HALF";
// Fewer runs than this are not worth a process start.
constexpr std::size_t kRunsWorthSharing = 40;

// Runs `run(i)` for each i of `indexes`, a hang or a crash naming the run.
void runInTurn(const std::vector<std::size_t>& indexes,
               const std::function<std::string(std::size_t)>& run,
               const std::function<std::string(std::size_t)>& describe,
               const std::function<void(std::size_t, const std::string&)>& reported) {
  describeRun = &describe;
  const LPTOP_LEVEL_EXCEPTION_FILTER previous = SetUnhandledExceptionFilter(reportCrash);
  const auto previousAbort = std::signal(SIGABRT, reportAbort);
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    while (!done) {
      Sleep(200);
      const ULONGLONG started = runStarted;
      if (runUnderWay >= 0 && GetTickCount64() > started + kLongestRunMs) {
        nameTheRun("the run hung");
        TerminateProcess(GetCurrentProcess(), 4);
      }
    }
  });
  for (const std::size_t i : indexes) {
    runStarted = GetTickCount64();
    runUnderWay = static_cast<long>(i);
    reported(i, run(i));
    runUnderWay = -1;
  }
  done = true;
  watchdog.join();
  SetUnhandledExceptionFilter(previous);
  std::signal(SIGABRT, previousAbort);
  describeRun = nullptr;
}

std::vector<std::size_t> sharedOut(std::size_t count, std::size_t first) {
  std::vector<std::size_t> indexes;
  for (std::size_t i = first; i < count; i += 2) indexes.push_back(i);
  return indexes;
}

// Starts this program on the current test alone, to report the runs of
// `half` into `reportsPath`.
HANDLE startSharer(const std::wstring& reportsPath, std::size_t half) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(test->test_suite_name()) + "." + test->name();
  SetEnvironmentVariableW(widened(kShareVariable).c_str(), reportsPath.c_str());
  SetEnvironmentVariableW(widened(kHalfVariable).c_str(), std::to_wstring(half).c_str());
  const HANDLE sharer = startProcess(
      quotedArgument(ownPath()) + L" " + quotedArgument(widened("--gtest_filter=" + name)), nullptr,
      L"NUL");
  SetEnvironmentVariableW(widened(kShareVariable).c_str(), nullptr);
  SetEnvironmentVariableW(widened(kHalfVariable).c_str(), nullptr);
  return sharer;
}

// Waits for the sharer of `half` and takes its reports; a run it did not
// report is one it died before.
void collectHalf(HANDLE sharer, const std::filesystem::path& reportsPath, std::size_t half,
                 std::vector<std::string>& reports) {
  const std::size_t count = reports.size();
  const DWORD exitCode = exitCodeOf(sharer);
  std::vector<bool> came(count, false);
  {
    std::ifstream in(reportsPath, std::ios::binary);
    for (std::size_t i = 0, size = 0; in >> i >> size && in.get() == '\n' && i < count;) {
      reports[i].resize(size);
      in.read(reports[i].data(), static_cast<std::streamsize>(size));
      came[i] = true;
    }
  }
  std::error_code ignored;
  std::filesystem::remove(reportsPath, ignored);
  for (const std::size_t i : sharedOut(count, half)) {
    if (!came[i]) {
      reports[i] = "the process making every other run ended (exit code " +
                   std::to_string(exitCode) + ") before it reported this run";
    }
  }
}

}  // namespace

std::vector<std::string> runEach(std::size_t count,
                                 const std::function<std::string(std::size_t)>& run,
                                 const std::function<std::string(std::size_t)>& describe) {
  std::vector<std::string> reports(count);
  const char* sharing = std::getenv(kShareVariable);
  if (sharing != nullptr && sharing[0] != '\0') {
    // A sharer: its reports go to the test's process.
    const char* half = std::getenv(kHalfVariable);
    std::ofstream out(sharing, std::ios::binary);
    runInTurn(sharedOut(count, half != nullptr && half[0] == '1' ? 1 : 0), run, describe,
              [&](std::size_t i, const std::string& report) {
                out << i << ' ' << report.size() << '\n' << report << std::flush;
              });
    return reports;
  }
  if (count < kRunsWorthSharing) {
    std::vector<std::size_t> all(count);
    for (std::size_t i = 0; i < count; ++i) all[i] = i;
    runInTurn(all, run, describe,
              [&](std::size_t i, const std::string& report) { reports[i] = report; });
    return reports;
  }
  static int shares = 0;
  const std::string stem = "hushlink-fault-reports-" + std::to_string(GetCurrentProcessId()) + "-" +
                           std::to_string(++shares) + "-";
  const std::filesystem::path paths[] = {std::filesystem::temp_directory_path() / (stem + "0"),
                                         std::filesystem::temp_directory_path() / (stem + "1")};
  const HANDLE sharers[] = {startSharer(paths[0].wstring(), 0), startSharer(paths[1].wstring(), 1)};
  for (std::size_t half = 0; half < 2; ++half) {
    collectHalf(sharers[half], paths[half], half, reports);
  }
  return reports;
}

std::vector<std::string> moduleImports() {
  const HMODULE module = LoadLibraryA(HUSHLINK_MODULE);
  if (module == nullptr) return {};
  std::vector<std::string> names;
  forEachImport(module, [&](const char* name, IMAGE_THUNK_DATA*) { names.emplace_back(name); });
  FreeLibrary(module);
  return names;
}

std::vector<std::string> wrappedCalls() {
  std::vector<std::string> names;
  for (const StandIn& entry : kStandIns) {
    if (entry.real != nullptr) names.emplace_back(entry.name);
  }
  return names;
}

const std::map<std::string, std::string>& callsLeftAlone() {
  static const std::map<std::string, std::string> kLeftAlone = [] {
    std::map<std::string, std::string> calls;
    const auto because = [&](const char* why, std::initializer_list<const char*> names) {
      for (const char* name : names) calls[name] = why;
    };
    because("gives memory back, which cannot fail", {"free"});
    because("works on memory the caller holds, with nothing to fail",
            {"memchr", "memcmp", "memcpy", "memmove", "memset", "strchr", "strcmp", "strlen",
             "strncmp", "wcslen", "atoi", "_ultoa", "MultiByteToWideChar", "WideCharToMultiByte",
             "CharLowerBuffW", "IsDBCSLeadByteEx"});
    because("answers about this process, its thread or its runtime, and cannot fail",
            {"GetCurrentProcess",
             "GetCurrentProcessId",
             "GetCurrentThread",
             "GetCurrentThreadId",
             "GetLastError",
             "SetLastError",
             "GetTickCount64",
             "GetSystemTimeAsFileTime",
             "IsDebuggerPresent",
             "_errno",
             "_fileno",
             "_get_osfhandle",
             "__iob_func",
             "_iob",
             "localeconv",
             "strerror",
             "___lc_codepage_func",
             "___mb_cur_max_func",
             "__mb_cur_max",
             "GetActiveWindow"});
    because("unbuffering a stream allocates nothing and cannot fail", {"setvbuf"});
    because("a pause between tries: cut short, it only tries sooner", {"Sleep"});
    because("lets go of the log's shared word, which cannot fail for a view that is mapped",
            {"UnmapViewOfFile"});
    because(
        "the message box is no file, memory or process; the tests stand in for it to read "
        "its text",
        {"MessageBoxW", "MessageBoxA"});
    because(
        "the language runtime linked into the DLL: its start and end, its error reports, "
        "its threads and locks and its unwinding, none of which an entry point reaches "
        "but through an exception the runtime itself raises",
        {"_amsg_exit",
         "_initterm",
         "_lock",
         "_unlock",
         "abort",
         "exit",
         "signal",
         "setlocale",
         "fprintf",
         "fputc",
         "fputs",
         "fputwc",
         "fwprintf",
         "printf",
         "vfprintf",
         "_read",
         "_setjmp",
         "_setjmp3",
         "longjmp",
         "_beginthreadex",
         "_endthreadex",
         "AddVectoredExceptionHandler",
         "RemoveVectoredExceptionHandler",
         "RaiseException",
         "RtlCaptureContext",
         "RtlLookupFunctionEntry",
         "RtlUnwindEx",
         "RtlVirtualUnwind",
         "__C_specific_handler",
         "OutputDebugStringA",
         "CreateEventA",
         "CreateSemaphoreA",
         "ReleaseSemaphore",
         "ResetEvent",
         "SetEvent",
         "WaitForMultipleObjects",
         "InitializeCriticalSection",
         "DeleteCriticalSection",
         "EnterCriticalSection",
         "LeaveCriticalSection",
         "TryEnterCriticalSection",
         "TlsAlloc",
         "TlsGetValue",
         "TlsSetValue",
         "GetHandleInformation",
         "ResumeThread",
         "SuspendThread",
         "GetThreadContext",
         "SetThreadContext",
         "GetThreadPriority",
         "SetThreadPriority",
         "GetProcessAffinityMask",
         "SetProcessAffinityMask",
         "VirtualProtect",
         "VirtualQuery",
         "LoadLibraryA",
         "LoadLibraryW",
         "GetModuleHandleA",
         "GetModuleHandleW",
         "GetProcAddress",
         "FreeLibrary"});
    return calls;
  }();
  return kLeftAlone;
}

}  // namespace hushlink::testing::faults

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

#include "plugin/windows_names.h"
#include "tests/plugin/fault_injection/faults.h"
#include "tests/support/test_support.h"
#include "tests/support/windows_support.h"

namespace hushlink::testing::faults {

namespace {

constexpr ULONGLONG kLongestRunMs = 30000;

// One numbered call as its stand-in saw it.
struct Record {
  const char* name = nullptr;
  std::vector<Mode> modes;
  Role role = Role::Other;
  std::string text;  // the path it names, or the bytes it writes
  std::size_t size = 0;
  HANDLE handle = nullptr;
};

struct State {
  bool armed = false;
  DWORD armedThread = 0;
  long numbered = 0;
  long planned = 0;
  Mode plannedMode = Mode::Error;
  // After a short write planned to find the disk full: the call whose next
  // turn fails.
  const char* fullNext = nullptr;
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
  if (state.fullNext != nullptr && std::strcmp(state.fullNext, name) == 0) {
    state.fullNext = nullptr;
    turn.full = true;
    return turn;
  }
  Record record;
  record.name = name;
  for (const Mode mode : modes) {
    if (size > 1 || (mode != Mode::Short && mode != Mode::ShortThenFull)) {
      record.modes.push_back(mode);
    }
  }
  const long k = ++state.numbered;
  const bool fits =
      std::find(record.modes.begin(), record.modes.end(), state.plannedMode) != record.modes.end();
  if (k == state.planned && fits) turn.fails = state.plannedMode;
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
  if (turn.record != nullptr) turn.record->handle = handle;
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

decltype(&CreateFileW) realCreateFileW;
decltype(&ReadFile) realReadFile;
decltype(&WriteFile) realWriteFile;
decltype(&SetFilePointerEx) realSetFilePointerEx;
decltype(&SetEndOfFile) realSetEndOfFile;
decltype(&FlushFileBuffers) realFlushFileBuffers;
decltype(&GetFileAttributesW) realGetFileAttributesW;
decltype(&GetFileAttributesExW) realGetFileAttributesExW;
decltype(&GetFileInformationByHandle) realGetFileInformationByHandle;
decltype(&GetFileType) realGetFileType;
decltype(&GetFinalPathNameByHandleW) realGetFinalPathNameByHandleW;
decltype(&GetFullPathNameW) realGetFullPathNameW;
decltype(&GetFileSecurityW) realGetFileSecurityW;
decltype(&SetKernelObjectSecurity) realSetKernelObjectSecurity;
decltype(&SetFileInformationByHandle) realSetFileInformationByHandle;
decltype(&MoveFileExW) realMoveFileExW;
decltype(&DeleteFileW) realDeleteFileW;
decltype(&CreateMutexW) realCreateMutexW;
decltype(&WaitForSingleObject) realWaitForSingleObject;
decltype(&ReleaseMutex) realReleaseMutex;
decltype(&CloseHandle) realCloseHandle;
decltype(&DuplicateHandle) realDuplicateHandle;
decltype(&OpenProcess) realOpenProcess;
decltype(&CreateFileMappingW) realCreateFileMappingW;
decltype(&MapViewOfFile) realMapViewOfFile;
decltype(&_open_osfhandle) realOpenOsfhandle;
decltype(&_fdopen) realFdopen;
decltype(&_close) realClose;
decltype(&fclose) realFclose;
decltype(&fwrite) realFwrite;
decltype(&fflush) realFflush;
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
  noteHandle(turn, file);
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
  if (failsAs(turn, Mode::ShortThenFull)) state.fullNext = "WriteFile";
  return realWriteFile(file, bytes, size, written, overlapped);
}

BOOL WINAPI standInSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER at,
                                    DWORD from) {
  const Turn turn = take("SetFilePointerEx", kFails);
  noteHandle(turn, file);
  if (turn.fails) return failing(ERROR_IO_DEVICE);
  return realSetFilePointerEx(file, distance, at, from);
}

BOOL WINAPI standInSetEndOfFile(HANDLE file) {
  const Turn turn = take("SetEndOfFile", kFails);
  noteHandle(turn, file);
  if (turn.fails) return failing(ERROR_DISK_FULL);
  return realSetEndOfFile(file);
}

BOOL WINAPI standInFlushFileBuffers(HANDLE file) {
  const Turn turn = take("FlushFileBuffers", kFails);
  noteHandle(turn, file);
  if (turn.fails) return failing(ERROR_DISK_FULL);
  return realFlushFileBuffers(file);
}

DWORD WINAPI standInGetFileAttributesW(LPCWSTR path) {
  const Turn turn = take("GetFileAttributesW", kFails);
  notePath(turn, path);
  if (turn.fails) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
  }
  return realGetFileAttributesW(path);
}

BOOL WINAPI standInGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID into) {
  const Turn turn = take("GetFileAttributesExW", kFails);
  notePath(turn, path);
  if (turn.fails) return failing(ERROR_ACCESS_DENIED);
  return realGetFileAttributesExW(path, level, into);
}

BOOL WINAPI standInGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION into) {
  const Turn turn = take("GetFileInformationByHandle", kFails);
  noteHandle(turn, file);
  if (turn.fails) return failing(ERROR_IO_DEVICE);
  return realGetFileInformationByHandle(file, into);
}

DWORD WINAPI standInGetFileType(HANDLE file) {
  const Turn turn = take("GetFileType", kFails);
  noteHandle(turn, file);
  if (turn.fails) {
    SetLastError(ERROR_IO_DEVICE);
    return FILE_TYPE_UNKNOWN;
  }
  return realGetFileType(file);
}

DWORD WINAPI standInGetFinalPathNameByHandleW(HANDLE file, LPWSTR into, DWORD size, DWORD flags) {
  const Turn turn = take("GetFinalPathNameByHandleW", kFails);
  noteHandle(turn, file);
  if (turn.fails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return realGetFinalPathNameByHandleW(file, into, size, flags);
}

DWORD WINAPI standInGetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR into, LPWSTR* name) {
  const Turn turn = take("GetFullPathNameW", kFails);
  notePath(turn, path);
  if (turn.fails) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return 0;
  }
  return realGetFullPathNameW(path, size, into, name);
}

BOOL WINAPI standInGetFileSecurityW(LPCWSTR path, SECURITY_INFORMATION what,
                                    PSECURITY_DESCRIPTOR into, DWORD size, LPDWORD needed) {
  const Turn turn = take("GetFileSecurityW", kFails);
  notePath(turn, path);
  if (turn.fails) return failing(ERROR_ACCESS_DENIED);
  return realGetFileSecurityW(path, what, into, size, needed);
}

BOOL WINAPI standInSetKernelObjectSecurity(HANDLE object, SECURITY_INFORMATION what,
                                           PSECURITY_DESCRIPTOR descriptor) {
  const Turn turn = take("SetKernelObjectSecurity", kFails);
  noteHandle(turn, object);
  if (turn.fails) return failing(ERROR_ACCESS_DENIED);
  return realSetKernelObjectSecurity(object, what, descriptor);
}

BOOL WINAPI standInSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS what,
                                              LPVOID information, DWORD size) {
  const Turn turn = take("SetFileInformationByHandle", kFails);
  noteHandle(turn, file);
  if (turn.fails) return failing(ERROR_ACCESS_DENIED);
  return realSetFileInformationByHandle(file, what, information, size);
}

BOOL WINAPI standInMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  const Turn turn = take("MoveFileExW", kFails);
  notePath(turn, to);
  if (turn.fails) return failing(ERROR_SHARING_VIOLATION);
  return realMoveFileExW(from, to, flags);
}

BOOL WINAPI standInDeleteFileW(LPCWSTR path) {
  const Turn turn = take("DeleteFileW", kFails);
  notePath(turn, path);
  if (turn.fails) return failing(ERROR_SHARING_VIOLATION);
  return realDeleteFileW(path);
}

HANDLE WINAPI standInCreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name) {
  const Turn turn = take("CreateMutexW", kFails);
  notePath(turn, name);
  if (turn.fails) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return realCreateMutexW(security, owned, name);
}

// Another saver keeps the turn past the wait.
DWORD WINAPI standInWaitForSingleObject(HANDLE object, DWORD milliseconds) {
  const Turn turn = take("WaitForSingleObject", kFails);
  noteHandle(turn, object);
  if (turn.fails) return WAIT_TIMEOUT;
  return realWaitForSingleObject(object, milliseconds);
}

// Not released: the mutex stays this thread's until its last handle goes.
BOOL WINAPI standInReleaseMutex(HANDLE mutex) {
  const Turn turn = take("ReleaseMutex", kFails);
  noteHandle(turn, mutex);
  if (turn.fails) return failing(ERROR_NOT_OWNER);
  return realReleaseMutex(mutex);
}

// Closed all the same: a close that reports a failure has let go.
BOOL WINAPI standInCloseHandle(HANDLE object) {
  const Turn turn = take("CloseHandle", kFails);
  noteHandle(turn, object);
  const BOOL closed = realCloseHandle(object);
  if (turn.fails) return failing(ERROR_IO_DEVICE);
  return closed;
}

BOOL WINAPI standInDuplicateHandle(HANDLE fromProcess, HANDLE from, HANDLE toProcess, LPHANDLE to,
                                   DWORD access, BOOL inherited, DWORD options) {
  const Turn turn = take("DuplicateHandle", kFails);
  noteHandle(turn, from);
  if (turn.fails) return failing(ERROR_NOT_ENOUGH_MEMORY);
  return realDuplicateHandle(fromProcess, from, toProcess, to, access, inherited, options);
}

HANDLE WINAPI standInOpenProcess(DWORD access, BOOL inherited, DWORD process) {
  const Turn turn = take("OpenProcess", kFails);
  if (turn.fails) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return realOpenProcess(access, inherited, process);
}

HANDLE WINAPI standInCreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES security,
                                        DWORD protection, DWORD sizeHigh, DWORD sizeLow,
                                        LPCWSTR name) {
  const Turn turn = take("CreateFileMappingW", kFails);
  notePath(turn, name);
  if (turn.fails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return realCreateFileMappingW(file, security, protection, sizeHigh, sizeLow, name);
}

LPVOID WINAPI standInMapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                                   SIZE_T size) {
  const Turn turn = take("MapViewOfFile", kFails);
  noteHandle(turn, mapping);
  if (turn.fails) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return realMapViewOfFile(mapping, access, offsetHigh, offsetLow, size);
}

int __cdecl standInOpenOsfhandle(intptr_t handle, int flags) {
  const Turn turn = take("_open_osfhandle", kFails);
  noteHandle(turn, reinterpret_cast<HANDLE>(handle));
  if (turn.fails) {
    errno = EMFILE;
    return -1;
  }
  return realOpenOsfhandle(handle, flags);
}

FILE* __cdecl standInFdopen(int descriptor, const char* how) {
  const Turn turn = take("_fdopen", kFails);
  if (turn.record != nullptr) turn.record->text = std::to_string(descriptor);
  if (turn.fails) {
    errno = ENOMEM;
    return nullptr;
  }
  return realFdopen(descriptor, how);
}

int __cdecl standInClose(int descriptor) {
  const Turn turn = take("_close", kFails);
  if (turn.record != nullptr) turn.record->text = std::to_string(descriptor);
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

int __cdecl standInFflush(FILE* stream) {
  const Turn turn = take("fflush", kFails);
  if (!turn.fails) return realFflush(stream);
  errno = ENOSPC;
  return EOF;
}

void* __cdecl standInMalloc(size_t size) {
  const Turn turn = take("malloc", kFails);
  if (turn.record != nullptr) {
    turn.record->role = Role::Allocation;
    turn.record->size = size;
  }
  if (turn.fails) {
    errno = ENOMEM;
    return nullptr;
  }
  return realMalloc(size);
}

void* __cdecl standInCalloc(size_t count, size_t size) {
  const Turn turn = take("calloc", kFails);
  if (turn.record != nullptr) {
    turn.record->role = Role::Allocation;
    turn.record->size = count * size;
  }
  if (turn.fails) {
    errno = ENOMEM;
    return nullptr;
  }
  return realCalloc(count, size);
}

void* __cdecl standInRealloc(void* block, size_t size) {
  const Turn turn = take("realloc", kFails);
  if (turn.record != nullptr) {
    turn.record->role = Role::Allocation;
    turn.record->size = size;
  }
  if (turn.fails) {
    errno = ENOMEM;
    return nullptr;
  }
  return realRealloc(block, size);
}

char* __cdecl standInStrdup(const char* text) {
  const Turn turn = take("_strdup", kFails);
  if (turn.record != nullptr) turn.record->role = Role::Allocation;
  if (turn.fails) {
    errno = ENOMEM;
    return nullptr;
  }
  return realStrdup(text);
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

struct StandIn {
  const char* name;
  void* standIn;
  void** real;  // null: a stand-in that never hands on
};

template <typename Fn>
StandIn standIn(const char* name, Fn standInFunction, Fn* real) {
  return {name, reinterpret_cast<void*>(standInFunction), reinterpret_cast<void**>(real)};
}

const StandIn kStandIns[] = {
    standIn("CreateFileW", &standInCreateFileW, &realCreateFileW),
    standIn("ReadFile", &standInReadFile, &realReadFile),
    standIn("WriteFile", &standInWriteFile, &realWriteFile),
    standIn("SetFilePointerEx", &standInSetFilePointerEx, &realSetFilePointerEx),
    standIn("SetEndOfFile", &standInSetEndOfFile, &realSetEndOfFile),
    standIn("FlushFileBuffers", &standInFlushFileBuffers, &realFlushFileBuffers),
    standIn("GetFileAttributesW", &standInGetFileAttributesW, &realGetFileAttributesW),
    standIn("GetFileAttributesExW", &standInGetFileAttributesExW, &realGetFileAttributesExW),
    standIn("GetFileInformationByHandle", &standInGetFileInformationByHandle,
            &realGetFileInformationByHandle),
    standIn("GetFileType", &standInGetFileType, &realGetFileType),
    standIn("GetFinalPathNameByHandleW", &standInGetFinalPathNameByHandleW,
            &realGetFinalPathNameByHandleW),
    standIn("GetFullPathNameW", &standInGetFullPathNameW, &realGetFullPathNameW),
    standIn("GetFileSecurityW", &standInGetFileSecurityW, &realGetFileSecurityW),
    standIn("SetKernelObjectSecurity", &standInSetKernelObjectSecurity,
            &realSetKernelObjectSecurity),
    standIn("SetFileInformationByHandle", &standInSetFileInformationByHandle,
            &realSetFileInformationByHandle),
    standIn("MoveFileExW", &standInMoveFileExW, &realMoveFileExW),
    standIn("DeleteFileW", &standInDeleteFileW, &realDeleteFileW),
    standIn("CreateMutexW", &standInCreateMutexW, &realCreateMutexW),
    standIn("WaitForSingleObject", &standInWaitForSingleObject, &realWaitForSingleObject),
    standIn("ReleaseMutex", &standInReleaseMutex, &realReleaseMutex),
    standIn("CloseHandle", &standInCloseHandle, &realCloseHandle),
    standIn("DuplicateHandle", &standInDuplicateHandle, &realDuplicateHandle),
    standIn("OpenProcess", &standInOpenProcess, &realOpenProcess),
    standIn("CreateFileMappingW", &standInCreateFileMappingW, &realCreateFileMappingW),
    standIn("MapViewOfFile", &standInMapViewOfFile, &realMapViewOfFile),
    standIn("_open_osfhandle", &standInOpenOsfhandle, &realOpenOsfhandle),
    standIn("_fdopen", &standInFdopen, &realFdopen),
    standIn("_close", &standInClose, &realClose),
    standIn("fclose", &standInFclose, &realFclose),
    standIn("fwrite", &standInFwrite, &realFwrite),
    standIn("fflush", &standInFflush, &realFflush),
    standIn("malloc", &standInMalloc, &realMalloc),
    standIn("calloc", &standInCalloc, &realCalloc),
    standIn("realloc", &standInRealloc, &realRealloc),
    standIn("_strdup", &standInStrdup, &realStrdup),
    {"MessageBoxW", reinterpret_cast<void*>(&standInMessageBoxW), nullptr},
    {"MessageBoxA", reinterpret_cast<void*>(&standInMessageBoxA), nullptr},
};

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

std::string detailOf(const Record& record) {
  std::vector<std::string> given;
  if (record.handle != nullptr) {
    char handle[32];
    std::snprintf(handle, sizeof handle, "%#llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(record.handle)));
    given.push_back(handle);
  }
  if (!record.text.empty()) {
    std::string shown = "\"";
    for (const char c : record.text) {
      shown += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
    }
    given.push_back(shown + "\"");
  } else if (record.size > 0) {
    given.push_back(std::to_string(record.size) + " bytes");
  }
  std::string detail = std::string(record.name) + "(";
  for (std::size_t i = 0; i < given.size(); ++i) detail += (i > 0 ? ", " : "") + given[i];
  detail += ")";
  if (record.role == Role::LogWrite) detail += " to the log";
  return detail;
}

}  // namespace

std::string unavailable() { return {}; }

Injector::Injector() {
  pointImportsAtStandIns(loadedModule());
  plan(0, Mode::Error);
}

Injector::~Injector() {
  state.armed = false;
  state.planned = 0;
}

void Injector::plan(long k, Mode mode) {
  state.numbered = 0;
  state.planned = k;
  state.plannedMode = mode;
  state.fullNext = nullptr;
  state.log = INVALID_HANDLE_VALUE;
  state.records.clear();
  entered_.clear();
}

void Injector::during(const char* name, const std::function<void()>& call) {
  entered_.emplace_back(state.numbered + 1, name);
  state.armedThread = GetCurrentThreadId();
  state.armed = true;
  call();
  state.armed = false;
}

std::vector<Call> Injector::calls() const {
  std::vector<Call> calls;
  std::size_t entry = 0;
  for (std::size_t i = 0; i < state.records.size(); ++i) {
    const Record& record = state.records[i];
    while (entry + 1 < entered_.size() && entered_[entry + 1].first <= static_cast<long>(i) + 1) {
      ++entry;
    }
    Call call;
    call.name = record.name;
    if (entry < entered_.size()) call.entryPoint = entered_[entry].second;
    call.detail = detailOf(record);
    call.role = record.role;
    call.size = record.size;
    if (record.role == Role::LogWrite) call.written = record.text;
    call.modes = record.modes;
    calls.push_back(std::move(call));
  }
  return calls;
}

struct MessageWatch::Watch {};

MessageWatch::MessageWatch(bool) : watch_(new Watch) { state.boxes.clear(); }

MessageWatch::~MessageWatch() { delete watch_; }

std::vector<std::string> MessageWatch::shown() const { return state.boxes; }

std::string MessageWatch::stray() const { return {}; }

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

bool turnIsFree(const std::string& file) {
  wchar_t full[MAX_PATH * 2];
  const DWORD size = GetFullPathNameW(widenedPath(file).c_str(), MAX_PATH * 2, full, nullptr);
  if (size == 0 || size >= MAX_PATH * 2) return false;
  const std::wstring name = sharedObjectName(L"settings", std::wstring(full, size));
  const HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTANT_QUERY_STATE, FALSE, name.c_str());
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

// A second process of this program, running the same test, takes every
// other run: Wine runs the two side by side. It writes each report to the
// file this names, as "INDEX SIZE\n" and the report.
constexpr const char* kShareVariable = "HUSHLINK_FAULT_SHARE";
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

// Starts this program on the current test alone, to report the odd runs
// into `reportsPath`.
HANDLE startSharer(const std::wstring& reportsPath) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = std::string(test->test_suite_name()) + "." + test->name();
  SetEnvironmentVariableW(widened(kShareVariable).c_str(), reportsPath.c_str());
  const HANDLE sharer = startProcess(
      quotedArgument(ownPath()) + L" " + quotedArgument(widened("--gtest_filter=" + name)), nullptr,
      L"NUL");
  SetEnvironmentVariableW(widened(kShareVariable).c_str(), nullptr);
  return sharer;
}

}  // namespace

std::vector<std::string> runEach(std::size_t count,
                                 const std::function<std::string(std::size_t)>& run,
                                 const std::function<std::string(std::size_t)>& describe) {
  std::vector<std::string> reports(count);
  const char* sharing = std::getenv(kShareVariable);
  if (sharing != nullptr && sharing[0] != '\0') {
    // The second process: its reports go to the first.
    std::ofstream out(sharing, std::ios::binary);
    runInTurn(sharedOut(count, 1), run, describe, [&](std::size_t i, const std::string& report) {
      out << i << ' ' << report.size() << '\n' << report << std::flush;
    });
    return reports;
  }
  const auto keep = [&](std::size_t i, const std::string& report) { reports[i] = report; };
  if (count < kRunsWorthSharing) {
    std::vector<std::size_t> all(count);
    for (std::size_t i = 0; i < count; ++i) all[i] = i;
    runInTurn(all, run, describe, keep);
    return reports;
  }
  static int shares = 0;
  const std::filesystem::path reportsPath =
      std::filesystem::temp_directory_path() /
      ("hushlink-fault-reports-" + std::to_string(GetCurrentProcessId()) + "-" +
       std::to_string(++shares));
  const HANDLE sharer = startSharer(reportsPath.wstring());
  runInTurn(sharedOut(count, 0), run, describe, keep);
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
  for (const std::size_t i : sharedOut(count, 1)) {
    if (!came[i]) {
      reports[i] = "the second process ended (exit code " + std::to_string(exitCode) +
                   ") before it reported this run";
    }
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

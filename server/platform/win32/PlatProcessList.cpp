// Win32 backend of the process list and of termination by id. The list comes
// from ntdll.dll's ZwQuerySystemInformation, which is not linked: it is
// loaded by name once at start-up, with RtlNtStatusToDosError, which turns
// the status it reports into the last error. Its SYSTEM_PROCESS_INFORMATION
// records are read at the offsets the system gives them and copied into
// plain entries.
#include <winsock2.h>
#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, NextEntryOffset) == 0);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime) == 0x20);
#ifdef _WIN64
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 0x50);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, InheritedFromUniqueProcessId) == 0x58);
#endif

namespace {

typedef LONG(NTAPI *SystemInfoQuery)(ULONG infoClass, void *buffer, ULONG length, ULONG *needed);
typedef ULONG(NTAPI *StatusConversion)(LONG status);

const ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
const LONG STATUS_LENGTH_MISMATCH = static_cast<LONG>(0xC0000004);
const ULONG SNAPSHOT_SIZE = 1048576;     // first try
const ULONG SNAPSHOT_SLACK = 65536;      // beyond the size a retry was told
const ULONG SNAPSHOT_MOST = 0x40000000;  // no retry asks for more
const int SNAPSHOT_ATTEMPTS = 4;

// Resolved once at start-up and only read after.
SystemInfoQuery QuerySystemInformation = nullptr;
StatusConversion StatusToError = nullptr;

// The records lie at offsets the system chooses: read fields by copying.
template <typename T>
T FieldAt(const char *record, size_t offset) {
  T value;
  memcpy(&value, record + offset, sizeof value);
  return value;
}

uint32_t IdAt(const char *record, size_t offset) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(FieldAt<HANDLE>(record, offset)));
}

const char *NextRecord(const char *record) {
  ULONG offset = FieldAt<ULONG>(record, offsetof(SYSTEM_PROCESS_INFORMATION, NextEntryOffset));
  return offset ? record + offset : nullptr;
}

// The snapshot in a heap buffer: first 1 MiB, then what the query reported
// and room beyond it, since processes started between two queries make the
// list longer. Null with the failed call named and the status as the last
// error.
char *TakeSnapshot(const char **failedCall) {
  ULONG size = SNAPSHOT_SIZE;
  LONG status = STATUS_LENGTH_MISMATCH;
  for (int attempt = 0; attempt < SNAPSHOT_ATTEMPTS && status == STATUS_LENGTH_MISMATCH;
       ++attempt) {
    char *buffer = static_cast<char *>(malloc(size));
    if (!buffer) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      *failedCall = "malloc";
      return nullptr;
    }
    ULONG needed = 0;
    status = SysQuerySystemInformation(SYSTEM_PROCESS_INFORMATION_CLASS, buffer, size, &needed);
    if (status >= 0) return buffer;
    free(buffer);
    ULONG told = needed > size ? needed : size;
    if (told > SNAPSHOT_MOST) break;
    size = told + told / 8 + SNAPSHOT_SLACK;
  }
  SetLastError(StatusToError(status));
  *failedCall = "ZwQuerySystemInformation";
  return nullptr;
}

}  // namespace

int PlatProcessListInit(const char **failedCall) {
  HMODULE ntdll = LoadLibraryA("ntdll.dll");
  if (!ntdll) {
    *failedCall = "LoadLibrary";
    return -1;
  }
  FARPROC query = GetProcAddress(ntdll, "ZwQuerySystemInformation");
  if (!query) {
    *failedCall = "GetProcAddress";
    return -1;
  }
  FARPROC conversion = GetProcAddress(ntdll, "RtlNtStatusToDosError");
  if (!conversion) {
    *failedCall = "GetProcAddress";
    return -1;
  }
  QuerySystemInformation = reinterpret_cast<SystemInfoQuery>(reinterpret_cast<void *>(query));
  StatusToError = reinterpret_cast<StatusConversion>(reinterpret_cast<void *>(conversion));
  return 0;
}

LONG NTAPI Win32QuerySystemInformation(ULONG infoClass, void *buffer, ULONG length, ULONG *needed) {
  return QuerySystemInformation(infoClass, buffer, length, needed);
}

int PlatProcessList(PlatProcessEntry **entries, uint32_t *count, const char **failedCall) {
  char *snapshot = TakeSnapshot(failedCall);
  if (!snapshot) return -1;
  uint32_t records = 0;
  for (const char *record = snapshot; record; record = NextRecord(record)) ++records;
  PlatProcessEntry *list = static_cast<PlatProcessEntry *>(malloc(records * sizeof *list));
  if (!list) {
    free(snapshot);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    *failedCall = "malloc";
    return -1;
  }
  uint32_t index = 0;
  for (const char *record = snapshot; record; record = NextRecord(record), ++index) {
    list[index].processId = IdAt(record, offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId));
    list[index].parentId =
        IdAt(record, offsetof(SYSTEM_PROCESS_INFORMATION, InheritedFromUniqueProcessId));
    list[index].creationTime = static_cast<uint64_t>(
        FieldAt<LARGE_INTEGER>(record, offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime)).QuadPart);
  }
  free(snapshot);
  *entries = list;
  *count = records;
  return 0;
}

// The server never terminates itself. The process is opened first, then
// its creation time compared with the listed one: a process that got the id
// after the listed one ended is refused as if the id named no process, and
// the handle holds the listed one from then on.
PlatProcess PlatProcessOpenForTerminate(const PlatProcessEntry *entry) {
  DWORD processId = entry->processId;
  if (processId == GetCurrentProcessId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  HANDLE process =
      OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (!process) return nullptr;
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    DWORD error = GetLastError();
    CloseHandle(process);
    SetLastError(error);
    return nullptr;
  }
  uint64_t creationTime =
      (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  if (creationTime != entry->creationTime) {
    CloseHandle(process);
    SetLastError(ERROR_INVALID_PARAMETER);  // what OpenProcess says for an id in no use
    return nullptr;
  }
  return reinterpret_cast<PlatProcess>(process);
}

int PlatProcessTerminate(PlatProcess process, uint32_t exitCode) {
  return TerminateProcess(reinterpret_cast<HANDLE>(process), exitCode) ? 0 : -1;
}

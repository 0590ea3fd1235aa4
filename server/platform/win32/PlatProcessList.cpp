// Win32 backend of the process list and of termination by id. The list comes
// from ntdll.dll's ZwQuerySystemInformation, which is not linked: it is
// loaded by name once at start-up. Its SYSTEM_PROCESS_INFORMATION records are
// read at the offsets the system gives them and copied into plain entries.
#include <winsock2.h>
#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, NextEntryOffset) == 0);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, CreateTime) == 0x20);
#ifdef _WIN64
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 0x50);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, InheritedFromUniqueProcessId) == 0x58);
#endif

namespace {

typedef LONG(NTAPI *SystemInfoQuery)(ULONG infoClass, void *buffer, ULONG length, ULONG *needed);

const ULONG SYSTEM_PROCESS_INFORMATION_CLASS = 5;
const ULONG SNAPSHOT_SIZE = 1048576;  // first try; a retry takes the size reported

// Resolved once at start-up and only read after.
SystemInfoQuery QuerySystemInformation = nullptr;

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

// The snapshot in a heap buffer: first 1 MiB, then once more with exactly
// the size that the query reported. Null with the failed call named.
char *TakeSnapshot(const char **failedCall) {
  ULONG size = SNAPSHOT_SIZE;
  for (int attempt = 0; attempt < 2; ++attempt) {
    char *buffer = static_cast<char *>(malloc(size));
    if (!buffer) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      *failedCall = "malloc";
      return nullptr;
    }
    ULONG needed = size;
    if (QuerySystemInformation(SYSTEM_PROCESS_INFORMATION_CLASS, buffer, size, &needed) == 0)
      return buffer;
    free(buffer);
    size = needed;
  }
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
  QuerySystemInformation = reinterpret_cast<SystemInfoQuery>(reinterpret_cast<void *>(query));
  return 0;
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

// The server never terminates itself.
PlatProcess PlatProcessOpenForTerminate(const PlatProcessEntry *entry) {
  DWORD processId = entry->processId;
  if (processId == GetCurrentProcessId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return reinterpret_cast<PlatProcess>(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
}

int PlatProcessTerminate(PlatProcess process, uint32_t exitCode) {
  return TerminateProcess(reinterpret_cast<HANDLE>(process), exitCode) ? 0 : -1;
}

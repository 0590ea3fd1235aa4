// Win32 backend of the process-list snapshot: ntdll.dll's query is loaded by
// name and returns SYSTEM_PROCESS_INFORMATION records, whose fields are read
// here at the offsets the system gives them. Processes are ended by id.
#include <winsock2.h>
#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <cstring>

#include "platform/platform.h"

static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, NextEntryOffset) == 0);
#ifdef _WIN64
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId) == 0x50);
static_assert(offsetof(SYSTEM_PROCESS_INFORMATION, InheritedFromUniqueProcessId) == 0x58);
#endif

namespace {

// The records lie at offsets the system chooses: read fields by copying.
template <typename T>
T FieldAt(const void *record, size_t offset) {
  T value;
  memcpy(&value, static_cast<const char *>(record) + offset, sizeof value);
  return value;
}

uint32_t IdAt(const void *record, size_t offset) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(FieldAt<HANDLE>(record, offset)));
}

}  // namespace

void *PlatLibraryLoad(const char *name) { return LoadLibraryA(name); }

void *PlatLibrarySymbol(void *library, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

uint32_t PlatSnapshotNextOffset(const void *record) {
  return FieldAt<ULONG>(record, offsetof(SYSTEM_PROCESS_INFORMATION, NextEntryOffset));
}

uint32_t PlatSnapshotProcessId(const void *record) {
  return IdAt(record, offsetof(SYSTEM_PROCESS_INFORMATION, UniqueProcessId));
}

uint32_t PlatSnapshotParentId(const void *record) {
  return IdAt(record, offsetof(SYSTEM_PROCESS_INFORMATION, InheritedFromUniqueProcessId));
}

PlatProcess PlatProcessOpenForTerminate(uint32_t processId) {
  return reinterpret_cast<PlatProcess>(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
}

int PlatProcessTerminate(PlatProcess process, uint32_t exitCode) {
  return TerminateProcess(reinterpret_cast<HANDLE>(process), exitCode) ? 0 : -1;
}

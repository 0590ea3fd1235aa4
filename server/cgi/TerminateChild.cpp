// Termination of a timed-out CGI program together with every process that
// descends from it. One snapshot of (process id, parent id) pairs is taken
// per termination; descendants are terminated depth-first before their
// parent, the program itself last.
#include <cstdlib>

#include "cgi/Cgi.h"
#include "cgi/CgiRun.h"
#include "core/Log.h"
#include "platform/platform.h"

namespace {

const uint32_t SNAPSHOT_SIZE = 1048576;  // first try; a retry takes the size reported

// The process-list query, resolved once at start-up and only read after.
PlatSystemInfoQuery QuerySystemInformation = nullptr;

const void *NextRecord(const void *record) {
  uint32_t offset = PlatSnapshotNextOffset(record);
  return offset ? static_cast<const char *>(record) + offset : nullptr;
}

// Index of the first record of the process, or -1 when it is not listed.
long FindRecord(const void *snapshot, uint32_t processId) {
  long index = 0;
  for (const void *record = snapshot; record; record = NextRecord(record), ++index)
    if (PlatSnapshotProcessId(record) == processId) return index;
  return -1;
}

long CountRecords(const void *snapshot) {
  long count = 0;
  for (const void *record = snapshot; record; record = NextRecord(record)) ++count;
  return count;
}

// A snapshot in a heap buffer, or null after logging why there is none.
void *TakeSnapshot() {
  uint32_t needed = SNAPSHOT_SIZE;
  void *buffer = malloc(SNAPSHOT_SIZE);
  if (!buffer) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    return nullptr;
  }
  if (QuerySystemInformation(PLAT_SYSTEM_PROCESS_INFORMATION, buffer, SNAPSHOT_SIZE, &needed) == 0)
    return buffer;

  free(buffer);
  buffer = malloc(needed);
  if (!buffer) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    return nullptr;
  }
  if (QuerySystemInformation(PLAT_SYSTEM_PROCESS_INFORMATION, buffer, needed, &needed) == 0)
    return buffer;
  LogPrint(LOG_ERR, "Failed ZwQuerySystemInformation() errno=%d", PlatLastError());
  free(buffer);
  return nullptr;
}

}  // namespace

int TerminateChildInit() {
  void *module = PlatLibraryLoad("ntdll.dll");
  if (!module) {
    LogPrint(LOG_FATAL, "Failed LoadLibrary() errno=%d", PlatLastError());
    return -1;
  }
  void *query = PlatLibrarySymbol(module, "ZwQuerySystemInformation");
  if (!query) {
    LogPrint(LOG_FATAL, "Failed GetProcAddress() errno=%d", PlatLastError());
    return -1;
  }
  QuerySystemInformation = reinterpret_cast<PlatSystemInfoQuery>(query);
  return 0;
}

int TerminateChild(uint32_t processId) {
  void *snapshot = TakeSnapshot();
  if (!snapshot) return -1;
  long index = FindRecord(snapshot, processId);
  if (index < 0) {  // the program has already ended
    free(snapshot);
    return 0;
  }
  unsigned char *visited =
      static_cast<unsigned char *>(calloc(static_cast<size_t>(CountRecords(snapshot)), 1));
  if (!visited) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    free(snapshot);
    return -1;
  }
  visited[index] = 1;
  TerminateChildTree(processId, snapshot, visited);
  free(visited);
  free(snapshot);
  return 0;
}

int TerminateChildTree(uint32_t processId, const void *snapshot, unsigned char *visited) {
  long index = 0;
  for (const void *record = snapshot; record; record = NextRecord(record), ++index) {
    if (PlatSnapshotParentId(record) != processId || visited[index]) continue;
    visited[index] = 1;
    TerminateChildTree(PlatSnapshotProcessId(record), snapshot, visited);
  }

  PlatProcess process = PlatProcessOpenForTerminate(processId);
  if (!process) {
    LogPrint(LOG_WARN, "Failed OpenProcess() errno=%d", PlatLastError());
    return -1;
  }
  if (PlatProcessTerminate(process, 0) == 0) {
    LogPrint(LOG_INFO, "Terminated child process. (%d)", static_cast<int>(processId));
  } else {
    LogPrint(LOG_WARN, "Failed TerminateProcess() errno=%d", PlatLastError());
  }
  PlatProcessClose(process);
  return 0;
}

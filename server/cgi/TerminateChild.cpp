// Termination of a CGI program together with every process that descends
// from it. One list of (process id, parent id, creation time) is taken per
// termination; descendants are terminated depth-first before their parent,
// the program itself last.
#include <cstdlib>

#include "cgi/Cgi.h"
#include "cgi/CgiRun.h"
#include "log/Log.h"
#include "platform/platform.h"

namespace {

// Index of the first entry of the process, or -1 when it is not listed.
long FindEntry(const PlatProcessEntry *list, uint32_t count, uint32_t processId) {
  for (uint32_t index = 0; index < count; ++index)
    if (list[index].processId == processId) return static_cast<long>(index);
  return -1;
}

// Whether an entry is a child of the parent entry. Process ids are reused,
// and the list keeps the id of a creator that has ended: an entry that names
// the parent's id but was created before the parent belongs to an earlier
// process of that id. The server itself is nobody's child here.
bool IsChild(const PlatProcessEntry &entry, const PlatProcessEntry &parent) {
  return entry.parentId == parent.processId && entry.creationTime >= parent.creationTime &&
         entry.processId != PlatCurrentProcessId();
}

}  // namespace

// Makes the process list ready and the server the reaper of the orphans that
// terminations leave, before any transaction exists.
int TerminateChildInit() {
  const char *failedCall = "";
  if (PlatProcessListInit(&failedCall) != 0 || PlatOrphanReaperStart(&failedCall) != 0) {
    LogPrint(LOG_FATAL, "Failed %s() errno=%d", failedCall, PlatLastError());
    return -1;
  }
  return 0;
}

int TerminateChild(uint32_t processId) {
  PlatProcessEntry *list = nullptr;
  uint32_t count = 0;
  const char *failedCall = "";
  if (PlatProcessList(&list, &count, &failedCall) != 0) {
    LogPrint(LOG_ERR, "Failed %s() errno=%d", failedCall, PlatLastError());
    return -1;
  }
  long index = FindEntry(list, count, processId);
  if (index < 0) {  // the program has already ended
    free(list);
    return 0;
  }
  unsigned char *visited = static_cast<unsigned char *>(calloc(count, 1));
  if (!visited) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    free(list);
    return -1;
  }
  visited[index] = 1;
  TerminateChildTree(list, count, static_cast<uint32_t>(index), visited);
  free(visited);
  free(list);
  return 0;
}

void CgiEndProgram(const PlatProcessInfo *info) {
  LogPrint(LOG_INFO, "Terminating the CGI process.");
  TerminateChild(info->processId);
  if (PlatProcessGroupTerminate(info->process) != 0)
    LogPrint(LOG_WARN, "Failed to end the CGI process group. errno=%d", PlatLastError());
}

int TerminateChildTree(const PlatProcessEntry *list, uint32_t count, uint32_t index,
                       unsigned char *visited) {
  const PlatProcessEntry &parent = list[index];
  for (uint32_t child = 0; child < count; ++child) {
    if (visited[child] || !IsChild(list[child], parent)) continue;
    visited[child] = 1;
    TerminateChildTree(list, count, child, visited);
  }

  PlatProcess process = PlatProcessOpenForTerminate(parent.processId);
  if (!process) {
    LogPrint(LOG_WARN, "Failed OpenProcess() errno=%d", PlatLastError());
    return -1;
  }
  if (PlatProcessTerminate(process, 0) == 0) {
    LogPrint(LOG_INFO, "Terminated child process. (%d)", static_cast<int>(parent.processId));
  } else {
    LogPrint(LOG_WARN, "Failed TerminateProcess() errno=%d", PlatLastError());
  }
  PlatProcessClose(process);
  return 0;
}

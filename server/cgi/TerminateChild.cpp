// Termination of a CGI program together with every process that descends
// from it. One list of (process id, parent id, creation time) is taken per
// termination; descendants are terminated depth-first before their parent,
// the program itself last.
#include <algorithm>
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
  // Without a walk (no process list) the program is still ended, through
  // the run's own handle: where the system keeps no process group, nothing
  // else would end it.
  if (TerminateChild(info->processId) != 0) {
    if (PlatProcessTerminate(info->process, 0) == 0)
      LogPrint(LOG_INFO, "Terminated child process. (%d)", static_cast<int>(info->processId));
    else
      LogPrint(LOG_WARN, "Failed TerminateProcess() errno=%d", PlatLastError());
  }
  if (PlatProcessGroupTerminate(info->process) != 0)
    LogPrint(LOG_WARN, "Failed to end the CGI process group. errno=%d", PlatLastError());
}

namespace {

// Ends one listed process (the walk has ended its descendants before it);
// 0 when it could be opened for termination, -1 when not.
int TerminateOne(const PlatProcessEntry &entry) {
  PlatProcess process = PlatProcessOpenForTerminate(&entry);
  if (!process) {
    LogPrint(LOG_WARN, "Failed OpenProcess() errno=%d", PlatLastError());
    return -1;
  }
  if (PlatProcessTerminate(process, 0) == 0) {
    LogPrint(LOG_INFO, "Terminated child process. (%d)", static_cast<int>(entry.processId));
  } else {
    LogPrint(LOG_WARN, "Failed TerminateProcess() errno=%d", PlatLastError());
  }
  PlatProcessClose(process);
  return 0;
}

// The entries ordered by parent id, each parent's in list order: a
// process's candidate children are one run of this order.
uint32_t *ByParent(const PlatProcessEntry *list, uint32_t count) {
  uint32_t *order = static_cast<uint32_t *>(malloc((count ? count : 1) * sizeof *order));
  if (!order) return nullptr;
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  std::sort(order, order + count, [list](uint32_t a, uint32_t b) {
    return list[a].parentId != list[b].parentId ? list[a].parentId < list[b].parentId : a < b;
  });
  return order;
}

// Where the run of a parent id begins in that order.
uint32_t FirstOfParent(const PlatProcessEntry *list, const uint32_t *order, uint32_t count,
                       uint32_t parentId) {
  return static_cast<uint32_t>(
      std::lower_bound(order, order + count, parentId,
                       [list](uint32_t entry, uint32_t id) { return list[entry].parentId < id; }) -
      order);
}

// One process on the walk's own stack, and how far its children are done.
struct WalkStep {
  uint32_t index;
  uint32_t next;  // position in the by-parent order
};

}  // namespace

// The walk keeps its own stack on the heap: a chain of thousands of
// generations must not exhaust the thread's stack.
int TerminateChildTree(const PlatProcessEntry *list, uint32_t count, uint32_t index,
                       unsigned char *visited) {
  uint32_t *order = ByParent(list, count);
  WalkStep *stack = static_cast<WalkStep *>(malloc((count ? count : 1) * sizeof *stack));
  if (!order || !stack) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    free(order);
    free(stack);
    return -1;
  }
  uint32_t depth = 0;
  stack[depth++] = {index, FirstOfParent(list, order, count, list[index].processId)};
  int result = 0;
  while (depth > 0) {
    WalkStep &step = stack[depth - 1];
    const PlatProcessEntry &parent = list[step.index];
    uint32_t child = count;
    for (; step.next < count && list[order[step.next]].parentId == parent.processId; ++step.next) {
      uint32_t candidate = order[step.next];
      if (visited[candidate] || !IsChild(list[candidate], parent)) continue;
      child = candidate;
      ++step.next;
      break;
    }
    if (child < count) {
      visited[child] = 1;
      stack[depth++] = {child, FirstOfParent(list, order, count, list[child].processId)};
      continue;
    }
    int ended = TerminateOne(parent);
    if (depth == 1) result = ended;
    --depth;
  }
  free(stack);
  free(order);
  return result;
}

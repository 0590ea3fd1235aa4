// The registry of accepted connections: one entry per transaction thread,
// from its creation until the accept loop reaps it after it has finished.
// Every operation holds ConnectListLock for its whole run, log lines
// included, so the lock order is always ConnectListLock, then LogLock.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ConfigTbl.h"
#include "core/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

static ConnectEntry *ListHead = nullptr;
static int ListCount = 0;
static PlatLock ConnectListLock;

int ConnectListInit() {
  PlatLockInit(&ConnectListLock);
  return 0;
}

int ConnectListCount() {
  PlatLockEnter(ConnectListLock);
  int count = ListCount;
  PlatLockLeave(ConnectListLock);
  return count;
}

// Dotted decimal text of an IPv4 address given in network order.
static void FormatAddress(char *text, size_t size, uint32_t peerAddress) {
  unsigned char bytes[4];
  memcpy(bytes, &peerAddress, sizeof bytes);
  text[0] = '\0';
  size_t used = 0;
  for (unsigned char byte : bytes)
    used += static_cast<size_t>(snprintf(text + used, size - used, "%d.", byte));
  text[used - 1] = '\0';  // the final point
}

int ConnectListAdd(PlatSocket sock, uint32_t threadId, PlatThread threadHandle,
                   uint32_t peerAddress) {
  PlatLockEnter(ConnectListLock);
  TRACE_START();
  ConnectEntry *entry = static_cast<ConnectEntry *>(malloc(sizeof *entry));
  if (!entry) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    LogPrint(LOG_ERR, "Can not create the ConnectList.");
    TRACE_END();
    PlatLockLeave(ConnectListLock);
    return -1;
  }
  ++ListCount;
  memset(entry, 0, sizeof *entry);
  entry->status = CONNECT_RUNNING;
  entry->sock = sock;
  entry->thread_id = threadId;
  entry->thread_handle = threadHandle;
  entry->next = nullptr;
  FormatAddress(entry->address, sizeof entry->address, peerAddress);

  LogPrint(LOG_INFO, "Connected from %s (ID=%X)", entry->address, threadId);
  if (ConfigTbl->access_log2)
    LogPrint2(LOG_INFO, "Connected from %s (ID=%X)", entry->address, threadId);

  ConnectEntry **tail = &ListHead;
  while (*tail) tail = &(*tail)->next;
  *tail = entry;
  TRACE_END();
  PlatLockLeave(ConnectListLock);
  return 0;
}

// The running entry of a thread. Thread identifiers do not repeat while an
// entry exists; matching running entries only keeps a finished entry from
// ever being taken for a live one all the same.
static ConnectEntry *FindRunning(uint32_t threadId) {
  for (ConnectEntry *entry = ListHead; entry; entry = entry->next)
    if (entry->thread_id == threadId && entry->status == CONNECT_RUNNING) return entry;
  return nullptr;
}

PlatSocket ConnectListSerch() {
  PlatLockEnter(ConnectListLock);
  TRACE_START();
  ConnectEntry *entry = FindRunning(PlatCurrentThreadId());
  PlatSocket sock = entry ? entry->sock : PLAT_INVALID_SOCKET;
  TRACE_END();
  PlatLockLeave(ConnectListLock);
  return sock;
}

void ConnectListFinish(uint32_t threadId) {
  PlatLockEnter(ConnectListLock);
  ConnectEntry *entry = FindRunning(threadId);
  if (entry) entry->status = CONNECT_FINISHED;
  PlatLockLeave(ConnectListLock);
}

void ConnectListDel() {
  PlatLockEnter(ConnectListLock);
  TRACE_START();
  ConnectEntry *entry = FindRunning(PlatCurrentThreadId());
  if (entry) entry->status = CONNECT_FINISHED;
  TRACE_END();
  PlatLockLeave(ConnectListLock);
}

void ConnectListChk() {
  PlatLockEnter(ConnectListLock);
  TRACE_START();
  ConnectEntry *kept = nullptr;
  ConnectEntry *entry = ListHead;
  while (entry) {
    ConnectEntry *next = entry->next;
    if (entry->status != CONNECT_RUNNING) {
      if (kept)
        kept->next = next;
      else
        ListHead = next;
      PlatThreadClose(entry->thread_handle);
      free(entry);
      --ListCount;
    } else {
      kept = entry;
    }
    entry = next;
  }
  TRACE_END();
  PlatLockLeave(ConnectListLock);
}

void ConnectListTerm() {
  PlatLockEnter(ConnectListLock);
  TRACE_START();
  while (ListHead) {
    ConnectEntry *entry = ListHead;
    LogPrint(LOG_INFO, "Terminating. (%d)", static_cast<int>(entry->thread_id));
    PlatThreadTerminate(entry->thread_handle, 0);
    PlatThreadClose(entry->thread_handle);
    ListHead = entry->next;
    free(entry);
    --ListCount;
  }
  TRACE_END();
  PlatLockLeave(ConnectListLock);
}

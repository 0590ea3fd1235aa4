// The registry of accepted connections: one entry per transaction thread,
// from its creation until the accept loop reaps it after it has finished.
// Every operation holds ConnectListLock for its whole run, log lines
// included, so the lock order is always ConnectListLock, then LogLock.
//
// Finished entries stay in the list until the accept loop reaps them, so
// under a steady stream of connections the list grows to max-connect
// entries. Its order stays that of the additions, but no operation that runs
// for every connection walks it: a tail pointer serves the append, and a
// small index of singly linked buckets by thread identifier serves the
// look-ups of the transaction threads.
#include <cstdlib>
#include <cstring>

#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

static ConnectEntry *ListHead = nullptr;
static ConnectEntry *ListTail = nullptr;
static int ListCount = 0;
static PlatLock ConnectListLock;

static const uint32_t ID_BUCKETS = 1024;  // a power of two
static ConnectEntry *IdIndex[ID_BUCKETS];

static ConnectEntry **IdBucket(uint32_t threadId) { return &IdIndex[threadId & (ID_BUCKETS - 1)]; }

static void IndexAdd(ConnectEntry *entry) {
  ConnectEntry **bucket = IdBucket(entry->thread_id);
  entry->id_next = *bucket;
  *bucket = entry;
}

static void IndexRemove(ConnectEntry *entry) {
  for (ConnectEntry **link = IdBucket(entry->thread_id); *link; link = &(*link)->id_next) {
    if (*link != entry) continue;
    *link = entry->id_next;
    return;
  }
}

int ConnectListInit() { return PlatLockInit(&ConnectListLock); }

int ConnectListCount() {
  PlatLockEnter(ConnectListLock);
  int count = ListCount;
  PlatLockLeave(ConnectListLock);
  return count;
}

static void LogConnected(const ConnectEntry *entry) {
  LogPrint(LOG_INFO, "Connected from %s (ID=%X)", entry->address, entry->thread_id);
  if (ConfigTbl->access_log2)
    LogPrint2(LOG_INFO, "Connected from %s (ID=%X)", entry->address, entry->thread_id);
}

int ConnectListAdd(PlatSocket sock, uint32_t threadId, PlatThread threadHandle,
                   const PlatAddress *peerAddress) {
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
  PlatAddressText(peerAddress, entry->address, sizeof entry->address);

  // A load balancer's connection is logged once its header names the client.
  if (!ProxyFromListed(peerAddress)) LogConnected(entry);

  if (ListTail)
    ListTail->next = entry;
  else
    ListHead = entry;
  ListTail = entry;
  IndexAdd(entry);
  TRACE_END();
  PlatLockLeave(ConnectListLock);
  return 0;
}

// The running entry of a thread. Thread identifiers do not repeat while an
// entry exists; matching running entries only keeps a finished entry from
// ever being taken for a live one all the same.
static ConnectEntry *FindRunning(uint32_t threadId) {
  for (ConnectEntry *entry = *IdBucket(threadId); entry; entry = entry->id_next)
    if (entry->thread_id == threadId && entry->status == CONNECT_RUNNING) return entry;
  return nullptr;
}

void ConnectListClient(const PlatAddress *client) {
  PlatLockEnter(ConnectListLock);
  ConnectEntry *entry = FindRunning(PlatCurrentThreadId());
  if (entry) {
    PlatAddressText(client, entry->address, sizeof entry->address);
    LogConnected(entry);
  }
  PlatLockLeave(ConnectListLock);
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

int ConnectListResume(uint32_t threadId) {
  PlatLockEnter(ConnectListLock);
  TRACE_START();
  int result = 0;
  ConnectEntry *entry = FindRunning(threadId);
  if (!entry) {
    result = -1;  // the shutdown has ended the thread and released its entry
  } else if (PlatThreadResume(entry->thread_handle) == 0xFFFFFFFF) {
    LogPrint(LOG_ERR, "Failed ResumeThread() errno=%d", PlatLastError());
    // The thread never runs: end it and free its slot for the reaping.
    PlatThreadTerminate(entry->thread_handle, 0);
    entry->status = CONNECT_FINISHED;
    result = -1;
  }
  TRACE_END();
  PlatLockLeave(ConnectListLock);
  return result;
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
      IndexRemove(entry);
      PlatThreadClose(entry->thread_handle);
      free(entry);
      --ListCount;
    } else {
      kept = entry;
    }
    entry = next;
  }
  ListTail = kept;
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
    IndexRemove(entry);
    free(entry);
    --ListCount;
  }
  ListTail = nullptr;
  TRACE_END();
  PlatLockLeave(ConnectListLock);
}

// The neutral side of the system-call table: look-up by name, arming a
// fault, putting a stand-in in front of a call and taking it away. The
// table itself, with the calls and their failing stand-ins, is the
// backend's (PlatSyscallTable.cpp).
#include "platform/PlatSyscall.h"

#include <cstring>

static PlatSyscallEntry *FindEntry(const char *name) {
  if (!name) return nullptr;
  for (int i = 0; i < PlatSyscallCount; ++i)
    if (strcmp(PlatSyscalls[i].name, name) == 0) return &PlatSyscalls[i];
  return nullptr;
}

int PlatSyscallFail(const char *name, int error, int times, int skip) {
  PlatSyscallEntry *entry = FindEntry(name);
  if (!entry || times < 1 || skip < 0) return -1;
  entry->calls.store(0);
  entry->skip.store(skip);
  entry->times.store(times);
  entry->error.store(error);
  entry->current.store(entry->failingCall);
  return 0;
}

int PlatSyscallSet(const char *name, PlatSyscallPtr call) {
  PlatSyscallEntry *entry = FindEntry(name);
  if (!entry) return -1;
  entry->current.store(call ? call : entry->systemCall);
  return 0;
}

PlatSyscallPtr PlatSyscallGet(const char *name) {
  PlatSyscallEntry *entry = FindEntry(name);
  return entry ? entry->current.load() : nullptr;
}

void PlatSyscallResetAll() {
  for (int i = 0; i < PlatSyscallCount; ++i)
    PlatSyscalls[i].current.store(PlatSyscalls[i].systemCall);
}

bool PlatSyscallFaultHit(int index, int *error) {
  PlatSyscallEntry &entry = PlatSyscalls[index];
  int call = entry.calls.fetch_add(1);
  int first = entry.skip.load();
  int end = first + entry.times.load();
  if (call + 1 >= end) {
    // The fault is used up: the system's call takes over again, unless a
    // test has put another stand-in in place meanwhile.
    PlatSyscallPtr failing = entry.failingCall;
    entry.current.compare_exchange_strong(failing, entry.systemCall);
  }
  if (call < first || call >= end) return false;
  *error = entry.error.load();
  return true;
}

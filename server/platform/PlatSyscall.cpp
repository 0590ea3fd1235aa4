// The neutral side of the system-call table: putting a stand-in in front of
// a call by its name and taking it away. The table itself is the backend's
// (PlatSyscallTable.cpp).
#include "platform/PlatSyscall.h"

#include <cstring>

int PlatSyscallSet(const char *name, PlatSyscallPtr call) {
  if (!name) return -1;
  for (int i = 0; i < PlatSyscallCount; ++i) {
    PlatSyscallEntry &entry = PlatSyscalls[i];
    if (strcmp(entry.name, name) != 0) continue;
    entry.current.store(call ? call : entry.systemCall);
    return 0;
  }
  return -1;
}

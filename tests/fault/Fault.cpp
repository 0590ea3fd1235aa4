// The neutral side of the faults: arming one on an entry of the system-call
// table, and counting the calls of its stand-in.
#include "fault/Fault.h"

#include <cstring>

int PlatSyscallFail(const char *name, int error, int times, int skip) {
  if (!name || times < 1 || skip < 0) return -1;
  for (int i = 0; i < PlatSyscallCount; ++i) {
    if (strcmp(PlatSyscalls[i].name, name) != 0) continue;
    FaultStandIn &standIn = FaultStandIns[i];
    if (standIn.index != i) return -1;  // the stand-ins are out of the table's order
    standIn.calls.store(0);
    standIn.skip.store(skip);
    standIn.times.store(times);
    standIn.error.store(error);
    PlatSyscalls[i].current.store(standIn.call);
    return 0;
  }
  return -1;
}

bool PlatSyscallFaultHit(int index, int *error) {
  FaultStandIn &standIn = FaultStandIns[index];
  int call = standIn.calls.fetch_add(1);
  int first = standIn.skip.load();
  int end = first + standIn.times.load();
  if (call + 1 >= end) {
    // The fault is used up: the system's call takes over again, unless a
    // test has put another stand-in in place meanwhile.
    PlatSyscallPtr failing = standIn.call;
    PlatSyscalls[index].current.compare_exchange_strong(failing, PlatSyscalls[index].systemCall);
  }
  if (call < first || call >= end) return false;
  *error = standIn.error.load();
  return true;
}

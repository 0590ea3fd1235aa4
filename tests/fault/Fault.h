// Faults in the platform layer's system-call table (platform/PlatSyscall.h)
// for the tests: each backend's failing stand-ins and the arming that puts
// them in front of the system's calls. Test code only: the server never
// contains it.
#ifndef TARVELD_TESTS_FAULT_H
#define TARVELD_TESTS_FAULT_H

#include <atomic>

#include "platform/PlatSyscall.h"

// The next `times` calls of `name`, after `skip` calls that go through, fail
// as the system's call fails, with the last error set to `error` (the error
// number the server then logs). After them the system's call is back.
// Returns -1 for a name that no entry has.
int PlatSyscallFail(const char *name, int error, int times = 1, int skip = 0);

// ------------------------------------------------------- for the stand-ins
// For a failing stand-in: whether this call is one of those to fail; if so,
// *error receives the error number to report. The last failing call puts
// the system's call back.
bool PlatSyscallFaultHit(int index, int *error);

// The stand-in of a table entry and the fault armed on it.
struct FaultStandIn {
  int index;            // the entry, as the backend's index enum names it
  PlatSyscallPtr call;  // of the type of the entry's system call
  // The armed fault: calls seen by the stand-in, and which of them fail.
  std::atomic<int> calls;
  std::atomic<int> skip;
  std::atomic<int> times;
  std::atomic<int> error;
};
#define FAULT_STAND_IN(index, call) \
  { index, PlatSyscallErased(&call), {0}, {0}, {0}, {0} }

// Each backend's stand-ins (fault/<backend>/FaultStandIns.cpp): one for
// every entry of its table, in the table's order.
extern FaultStandIn FaultStandIns[];

#endif

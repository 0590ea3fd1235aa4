// The system-call table of the platform layer. Each backend makes the calls
// whose failures the server has to survive through a table of its own, one
// entry per call: the call in use now and the system's own. Tests put a
// stand-in in front of a call to make it fail, and so reach failure paths
// that a healthy system never takes. The server itself never changes the
// table: a call through it costs one indirect call and nothing else.
//
// Entries are named by what they do ("socket-accept"), not by the call that
// does it on one system, so that a test reads the same on every backend.
// To route another call through the table, see the backends'
// PlatSyscallTable.h.
#ifndef TARVELD_PLAT_SYSCALL_H
#define TARVELD_PLAT_SYSCALL_H

#include <atomic>

// Any call, as the table keeps it; cast back to the call's own type to use.
typedef void (*PlatSyscallPtr)();

// The next `times` calls of `name`, after `skip` calls that go through, fail
// as the system's call fails, with the last error set to `error` (the error
// number the server then logs). After them the system's call is back.
// Returns -1 for a name that no entry has.
int PlatSyscallFail(const char *name, int error, int times = 1, int skip = 0);
// Puts `call` in front of `name` (null: the system's own again); -1 for an
// unknown name. The stand-in has the type of the system's call.
int PlatSyscallSet(const char *name, PlatSyscallPtr call);
PlatSyscallPtr PlatSyscallGet(const char *name);  // the call in use; null: unknown
void PlatSyscallResetAll();  // every entry back to the system's own call

// ------------------------------------------------------- for the backends
struct PlatSyscallEntry {
  const char *name;                     // what the call does, as tests name it
  const char *systemName;               // the backend's call behind it
  PlatSyscallPtr systemCall;            // the system's own
  PlatSyscallPtr failingCall;           // fails while a fault is armed
  std::atomic<PlatSyscallPtr> current;  // the call in use
  // The armed fault: calls seen by failingCall, and which of them fail.
  std::atomic<int> calls;
  std::atomic<int> skip;
  std::atomic<int> times;
  std::atomic<int> error;
};

// Each backend defines its table.
extern PlatSyscallEntry PlatSyscalls[];
extern const int PlatSyscallCount;

// The call in use of an entry, as its own type.
template <typename Call>
inline Call PlatSyscallCurrent(int index) {
  return reinterpret_cast<Call>(PlatSyscalls[index].current.load(std::memory_order_relaxed));
}
// The system's own call of an entry, as its own type.
template <typename Call>
inline Call PlatSyscallSystem(int index) {
  return reinterpret_cast<Call>(PlatSyscalls[index].systemCall);
}

// For a failing stand-in: whether this call is one of those to fail; if so,
// *error receives the error number to report. The last failing call puts
// the system's call back.
bool PlatSyscallFaultHit(int index, int *error);

#endif

// The system-call table of the platform layer. Each backend makes the calls
// whose failures the server has to survive through a table of its own, one
// entry per call: the call in use now and the system's own. Tests put a
// stand-in in front of a call to make it fail, and so reach failure paths
// that a healthy system never takes; the stand-ins and the arming of faults
// are test code (tests/fault/) and never part of the server. The server
// itself never changes the table: a call through it costs one indirect call
// and nothing else.
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

// Puts `call` in front of `name` (null: the system's own again); -1 for an
// unknown name. The stand-in has the type of the system's call.
int PlatSyscallSet(const char *name, PlatSyscallPtr call);

// ------------------------------------------------------- for the backends
struct PlatSyscallEntry {
  const char *name;                     // what the call does, as tests name it
  const char *systemName;               // the backend's call behind it
  PlatSyscallPtr systemCall;            // the system's own
  std::atomic<PlatSyscallPtr> current;  // the call in use
};

// Each backend defines its table, in the order of its index enum.
extern PlatSyscallEntry PlatSyscalls[];
extern const int PlatSyscallCount;

template <typename Call>
inline PlatSyscallPtr PlatSyscallErased(Call call) {
  return reinterpret_cast<PlatSyscallPtr>(call);
}
// An entry of a backend's table: the neutral name and the system's call.
#define PLAT_SYSCALL_ENTRY(name, call) \
  { name, #call, PlatSyscallErased(&call), { PlatSyscallErased(&call) } }

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
// The backend's name for the call in use of an entry: SysAccept4 and the
// like are PLAT_SYSCALL(SYS_SOCKET_ACCEPT, accept4).
#define PLAT_SYSCALL(index, call) (PlatSyscallCurrent<decltype(&call)>(index))

#endif

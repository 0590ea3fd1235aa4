// Win32 backend: the locks are critical sections. The server's locks are
// held for microseconds at most (a log line's write is the longest), so a
// thread that finds one taken spins a while before it sleeps.
#include <winsock2.h>
#include <windows.h>

#include <new>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

// Tries before sleeping on a taken lock: the count the system's own heap
// lock uses.
constexpr DWORD LOCK_SPIN_COUNT = 4000;

struct PlatLockRec {
  CRITICAL_SECTION section;
};

int PlatLockInit(PlatLock *lock) {
  PlatLockRec *rec = new (std::nothrow) PlatLockRec;
  if (!rec) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  if (!SysInitializeCriticalSection(&rec->section, LOCK_SPIN_COUNT)) {
    DWORD error = GetLastError();
    delete rec;
    SetLastError(error);
    return -1;
  }
  *lock = rec;
  return 0;
}

void PlatLockEnter(PlatLock lock) { EnterCriticalSection(&lock->section); }
void PlatLockLeave(PlatLock lock) { LeaveCriticalSection(&lock->section); }

// Win32 backend: the locks are critical sections.
#include <winsock2.h>
#include <windows.h>

#include <new>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

struct PlatLockRec {
  CRITICAL_SECTION section;
};

int PlatLockInit(PlatLock *lock) {
  PlatLockRec *rec = new (std::nothrow) PlatLockRec;
  if (!rec) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  if (!SysInitializeCriticalSection(&rec->section, 0)) {
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

// Win32 backend: the locks are critical sections.
#include <winsock2.h>
#include <windows.h>

#include <new>

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
  InitializeCriticalSection(&rec->section);
  *lock = rec;
  return 0;
}

void PlatLockEnter(PlatLock lock) { EnterCriticalSection(&lock->section); }
void PlatLockLeave(PlatLock lock) { LeaveCriticalSection(&lock->section); }

// POSIX backend: critical sections as mutexes.
#include <pthread.h>

#include <cerrno>
#include <new>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

struct PlatLockRec {
  pthread_mutex_t mutex;
};

int PlatLockInit(PlatLock *lock) {
  PlatLockRec *rec = new (std::nothrow) PlatLockRec;
  if (!rec) {
    errno = ENOMEM;
    return -1;
  }
  int rc = SysLockInit(&rec->mutex, nullptr);
  if (rc != 0) {
    delete rec;
    errno = rc;
    return -1;
  }
  *lock = rec;
  return 0;
}

void PlatLockEnter(PlatLock lock) { pthread_mutex_lock(&lock->mutex); }
void PlatLockLeave(PlatLock lock) { pthread_mutex_unlock(&lock->mutex); }

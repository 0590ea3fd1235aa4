// POSIX backend: critical sections as mutexes. The server's locks are held
// for microseconds at most (a log line's write is the longest), so a thread
// that finds one taken spins a while before it sleeps: cheaper than going
// to sleep and being woken, as a critical section with a spin count does.
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
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
  int rc = SysLockInit(&rec->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
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

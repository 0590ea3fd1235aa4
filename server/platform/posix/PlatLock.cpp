// POSIX backend: critical sections as mutexes.
#include <pthread.h>

#include <cerrno>
#include <new>

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
  pthread_mutex_init(&rec->mutex, nullptr);
  *lock = rec;
  return 0;
}

void PlatLockEnter(PlatLock lock) { pthread_mutex_lock(&lock->mutex); }
void PlatLockLeave(PlatLock lock) { pthread_mutex_unlock(&lock->mutex); }

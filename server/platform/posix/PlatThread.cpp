// POSIX backend of threads. A thread is "created suspended" by holding it at
// a gate until it is resumed, and a suspended thread that is ended leaves the
// gate without running its routine. A running thread cannot be ended safely
// from outside (it could hold a lock or the allocator's lock); it is left to
// the process end, which follows at once whenever the server ends threads.
//
// Thread identifiers are numbers of our own, taken from a counter, so that no
// identifier comes back while the server still knows the thread that had it.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "platform/platform.h"

namespace {

constexpr size_t THREAD_STACK_SIZE = 256 * 1024;

enum GateState { GATE_CLOSED, GATE_OPEN, GATE_CANCELLED };

std::atomic<uint32_t> NextThreadId{1};
thread_local uint32_t CurrentThreadId = 0;

uint32_t NewThreadId() {
  uint32_t id;
  do id = NextThreadId.fetch_add(1); while (id == 0);
  return id;
}

}  // namespace

struct PlatThreadRec {
  PlatThreadRoutine routine;
  void *parameter;
  uint32_t id;
  pthread_mutex_t mutex;
  pthread_cond_t opened;
  GateState gate;
  std::atomic<int> references;  // the owner's handle and the thread itself
};

static void ReleaseThread(PlatThreadRec *rec) {
  if (rec->references.fetch_sub(1) != 1) return;
  pthread_mutex_destroy(&rec->mutex);
  pthread_cond_destroy(&rec->opened);
  delete rec;
}

static void *ThreadStart(void *argument) {
  PlatThreadRec *rec = static_cast<PlatThreadRec *>(argument);
  CurrentThreadId = rec->id;
  pthread_mutex_lock(&rec->mutex);
  while (rec->gate == GATE_CLOSED) pthread_cond_wait(&rec->opened, &rec->mutex);
  GateState gate = rec->gate;
  pthread_mutex_unlock(&rec->mutex);
  if (gate == GATE_OPEN) rec->routine(rec->parameter);
  ReleaseThread(rec);
  return nullptr;
}

PlatThread PlatThreadCreateSuspended(PlatThreadRoutine routine, void *parameter,
                                     uint32_t *threadId) {
  PlatThreadRec *rec = new (std::nothrow) PlatThreadRec;
  if (!rec) {
    errno = ENOMEM;
    return nullptr;
  }
  rec->routine = routine;
  rec->parameter = parameter;
  rec->id = NewThreadId();
  pthread_mutex_init(&rec->mutex, nullptr);
  pthread_cond_init(&rec->opened, nullptr);
  rec->gate = GATE_CLOSED;
  rec->references.store(2);

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, THREAD_STACK_SIZE);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, ThreadStart, rec);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    pthread_mutex_destroy(&rec->mutex);
    pthread_cond_destroy(&rec->opened);
    delete rec;
    errno = rc;
    return nullptr;
  }
  *threadId = rec->id;
  return rec;
}

// Sets the gate from closed to the given state; returns the previous state.
static GateState SetGate(PlatThreadRec *rec, GateState state) {
  pthread_mutex_lock(&rec->mutex);
  GateState previous = rec->gate;
  if (previous == GATE_CLOSED) {
    rec->gate = state;
    pthread_cond_signal(&rec->opened);
  }
  pthread_mutex_unlock(&rec->mutex);
  return previous;
}

uint32_t PlatThreadResume(PlatThread thread) {
  switch (SetGate(thread, GATE_OPEN)) {
    case GATE_CLOSED: return 1;  // previous suspend count
    case GATE_OPEN: return 0;
    case GATE_CANCELLED: break;
  }
  errno = EINVAL;
  return 0xFFFFFFFF;
}

int PlatThreadTerminate(PlatThread thread, uint32_t) {
  SetGate(thread, GATE_CANCELLED);
  return 0;
}

int PlatThreadClose(PlatThread thread) {
  ReleaseThread(thread);
  return 0;
}

uint32_t PlatCurrentThreadId() {
  if (CurrentThreadId == 0) CurrentThreadId = NewThreadId();
  return CurrentThreadId;
}

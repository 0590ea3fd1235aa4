// POSIX backend of threads. A thread is "created suspended" by holding it at
// a gate until it is resumed, and a suspended thread that is ended leaves the
// gate without running its routine. A running thread cannot be ended safely
// from outside (it could hold a lock or the allocator's lock); it is left to
// the process end, which follows at once whenever the server ends threads.
//
// Thread identifiers are numbers of our own, taken from a counter, so that no
// identifier comes back while the server still knows the thread that had it.
//
// Creating a system thread for every transaction costs more than the rest of
// a small request (clone, stack set-up, exit, the stack's pages faulted in
// again), so a system thread that has finished its routine waits a short
// while for the next one. A waiting thread runs nothing of the server; it
// ends by itself once it has waited IDLE_MILLISECONDS in vain, so the thread
// count comes back down soon after a burst.
//
// Under load the next routine comes within microseconds, and going to sleep
// and being woken costs more than that. The thread that finished last
// therefore first stays awake for SPIN_MICROSECONDS, giving the processor to
// whatever else wants it and looking for its next routine in between; it is
// the first to be handed one. Only one thread stays awake at a time.
//
// The system threads run under the batch policy: woken (handed a routine,
// or by the request it waits for) they take their turn without preempting
// the thread that runs, above all not the accept loop that has just handed
// them their connection, which goes on to the next one. On two cores under
// load that saves a context switch per request for the server and for its
// clients; the price is a longer wait for the slowest requests, which now
// wait for the running thread's turn to end.
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <new>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

constexpr size_t THREAD_STACK_SIZE = 256 * 1024;
constexpr long IDLE_MILLISECONDS = 250;
constexpr int MAX_IDLE_WORKERS = 64;
constexpr long SPIN_MICROSECONDS = 30;

enum GateState { GATE_CLOSED, GATE_OPEN, GATE_CANCELLED };

std::atomic<uint32_t> NextThreadId{1};
thread_local uint32_t CurrentThreadId = 0;

uint32_t NewThreadId() {
  uint32_t id;
  do id = NextThreadId.fetch_add(1); while (id == 0);
  return id;
}

}  // namespace

struct Worker;

struct PlatThreadRec {
  PlatThreadRoutine routine;
  void *parameter;
  uint32_t id;
  Worker *worker;                  // the system thread that runs the routine
  // GateState: leaves GATE_CLOSED once, or twice when a wake-up failed.
  // The owner never resumes and ends the same thread at the same time.
  std::atomic<int> gate;
  std::atomic<int> references;     // the owner's handle and the worker
};

// A system thread. Its semaphore is posted once per routine, when the gate
// of the routine it holds leaves GATE_CLOSED.
struct Worker {
  sem_t wake;
  PlatThreadRec *job;  // under IdleLock while the worker is idle
  Worker *next;        // in the idle list
};

namespace {

pthread_mutex_t IdleLock = PTHREAD_MUTEX_INITIALIZER;
Worker *IdleList = nullptr;  // newest first: its stack is the warmest
int IdleCount = 0;
Worker *AwakeWorker = nullptr;  // the one waiting awake, handed a routine first

void ReleaseThread(PlatThreadRec *rec) {
  if (rec->references.fetch_sub(1) == 1) delete rec;
}

// Takes an idle worker for the routine, or nullptr when none waits: the
// one awake if there is one, else the newest asleep.
Worker *TakeIdleWorker(PlatThreadRec *rec) {
  pthread_mutex_lock(&IdleLock);
  Worker *worker = AwakeWorker;
  if (worker) {
    AwakeWorker = nullptr;
  } else if ((worker = IdleList) != nullptr) {
    IdleList = worker->next;
    --IdleCount;
  }
  if (worker) worker->job = rec;
  pthread_mutex_unlock(&IdleLock);
  return worker;
}

// Makes the worker the one awake, unless another is; true when it is.
bool StayAwake(Worker *worker) {
  pthread_mutex_lock(&IdleLock);
  bool awake = AwakeWorker == nullptr;
  if (awake) {
    worker->job = nullptr;
    AwakeWorker = worker;
  }
  pthread_mutex_unlock(&IdleLock);
  return awake;
}

// Ends the wait awake without a routine: false when a routine was handed
// to the worker meanwhile (it will be posted).
bool StopStayingAwake(Worker *worker) {
  pthread_mutex_lock(&IdleLock);
  bool stopped = AwakeWorker == worker;
  if (stopped) AwakeWorker = nullptr;
  pthread_mutex_unlock(&IdleLock);
  return stopped;
}

// Puts a worker that finished its routine into the idle list; false when
// the list is full and the worker should end.
bool ParkWorker(Worker *worker) {
  pthread_mutex_lock(&IdleLock);
  bool parked = IdleCount < MAX_IDLE_WORKERS;
  if (parked) {
    worker->job = nullptr;
    worker->next = IdleList;
    IdleList = worker;
    ++IdleCount;
  }
  pthread_mutex_unlock(&IdleLock);
  return parked;
}

// After a wait in vain: leaves the idle list unless a routine was handed to
// the worker meanwhile. True when the worker should end.
bool LeaveIdleList(Worker *worker) {
  pthread_mutex_lock(&IdleLock);
  bool leave = worker->job == nullptr;
  if (leave) {
    Worker **link = &IdleList;
    while (*link != worker) link = &(*link)->next;
    *link = worker->next;
    --IdleCount;
  }
  pthread_mutex_unlock(&IdleLock);
  return leave;
}

void WaitUntilPosted(Worker *worker) {
  while (sem_wait(&worker->wake) != 0) {
  }
}

long MicrosecondsSince(const timespec &start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000L;
}

// Waits awake for the next routine's gate, up to SPIN_MICROSECONDS; true when
// it opened.
bool SpinForNextRoutine(Worker *worker) {
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  do {
    if (sem_trywait(&worker->wake) == 0) return true;
    sched_yield();
  } while (MicrosecondsSince(start) < SPIN_MICROSECONDS);
  return false;
}

// Waits for the next routine's gate; false when none came in time.
bool WaitForNextRoutine(Worker *worker) {
  timespec deadline;
  // sem_timedwait counts on the realtime clock: a clock set back or forth
  // only lengthens or shortens an idle wait.
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_nsec += IDLE_MILLISECONDS * 1000000L;
  deadline.tv_sec += deadline.tv_nsec / 1000000000L;
  deadline.tv_nsec %= 1000000000L;
  for (;;) {
    if (sem_timedwait(&worker->wake, &deadline) == 0) return true;
    if (errno == EINTR) continue;
    if (!LeaveIdleList(worker)) {  // handed a routine just now: it will be posted
      WaitUntilPosted(worker);
      return true;
    }
    return false;
  }
}

void RunRoutine(PlatThreadRec *rec) {
  CurrentThreadId = rec->id;
  if (rec->gate.load() == GATE_OPEN) rec->routine(rec->parameter);
  CurrentThreadId = 0;
  ReleaseThread(rec);
}

// After a routine: waits awake a moment when no other worker does, then
// asleep in the idle list. False when no routine came and the worker ends.
bool AwaitNextRoutine(Worker *worker) {
  if (StayAwake(worker)) {
    if (SpinForNextRoutine(worker)) return true;
    if (!StopStayingAwake(worker)) {
      WaitUntilPosted(worker);
      return true;
    }
  }
  return ParkWorker(worker) && WaitForNextRoutine(worker);
}

// Only a hint: a system that refuses it runs the thread as it was.
void UseBatchPolicy() {
  struct sched_param normal = {};
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &normal);
}

void *WorkerMain(void *argument) {
  Worker *worker = static_cast<Worker *>(argument);
  UseBatchPolicy();
  WaitUntilPosted(worker);
  for (;;) {
    RunRoutine(worker->job);
    if (!AwaitNextRoutine(worker)) break;
  }
  sem_destroy(&worker->wake);
  delete worker;
  return nullptr;
}

// A new system thread for the routine, held until its gate opens.
Worker *StartWorker(PlatThreadRec *rec) {
  Worker *worker = new (std::nothrow) Worker;
  if (!worker) return nullptr;
  sem_init(&worker->wake, 0, 0);
  worker->job = rec;
  worker->next = nullptr;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, THREAD_STACK_SIZE);
  pthread_t thread;
  int rc = SysThreadCreate(&thread, &attr, WorkerMain, worker);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    sem_destroy(&worker->wake);
    delete worker;
    errno = rc;
    return nullptr;
  }
  return worker;
}


}  // namespace

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
  rec->gate.store(GATE_CLOSED);
  rec->references.store(2);
  rec->worker = TakeIdleWorker(rec);
  if (!rec->worker) rec->worker = StartWorker(rec);
  if (!rec->worker) {
    int error = errno;
    delete rec;
    errno = error;
    return nullptr;
  }
  *threadId = rec->id;
  return rec;
}

// The gate opens before the worker is woken, since the worker looks at it
// once woken. A wake-up that fails closes the gate again: the worker has not
// looked, and the thread can still be ended like any suspended one.
uint32_t PlatThreadResume(PlatThread thread) {
  int previous = GATE_CLOSED;
  if (!thread->gate.compare_exchange_strong(previous, GATE_OPEN)) {
    if (previous == GATE_OPEN) return 0;  // no longer suspended
    errno = EINVAL;                       // ended
    return 0xFFFFFFFF;
  }
  if (SysThreadResume(&thread->worker->wake) != 0) {
    int error = errno;
    thread->gate.store(GATE_CLOSED);
    errno = error;
    return 0xFFFFFFFF;
  }
  return 1;  // the previous suspend count
}

int PlatThreadTerminate(PlatThread thread, uint32_t) {
  int previous = GATE_CLOSED;
  if (thread->gate.compare_exchange_strong(previous, GATE_CANCELLED))
    sem_post(&thread->worker->wake);
  return 0;
}

int PlatThreadClose(PlatThread thread) {
  ReleaseThread(thread);
  return 0;
}

uint32_t PosixThreadId() {
  if (CurrentThreadId == 0) CurrentThreadId = NewThreadId();
  return CurrentThreadId;
}

uint32_t PlatCurrentThreadId() { return SysThreadId(); }

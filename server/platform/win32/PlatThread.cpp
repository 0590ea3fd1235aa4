// Win32 backend of threads: CreateThread suspended, ResumeThread and
// TerminateThread. Only a thread that was never resumed is terminated: it has
// run nothing and holds nothing. A running thread could hold a lock or the
// heap's lock; it is left to the process end, which follows at once whenever
// the server ends its threads.
#include <winsock2.h>
#include <windows.h>

#include <new>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

enum ThreadState : LONG { THREAD_SUSPENDED, THREAD_RESUMED, THREAD_TERMINATED };

}  // namespace

// Shared by the owner's handle and the thread itself: each drops its
// reference when done with it, so a running thread never reads a released
// record.
struct PlatThreadRec {
  HANDLE handle;
  PlatThreadRoutine routine;
  void *parameter;
  volatile LONG state;
  volatile LONG references;
};

static void ReleaseThread(PlatThreadRec *rec) {
  if (InterlockedDecrement(&rec->references) != 0) return;
  delete rec;
}

static DWORD WINAPI ThreadStart(LPVOID argument) {
  PlatThreadRec *rec = static_cast<PlatThreadRec *>(argument);
  DWORD code = rec->routine(rec->parameter);
  ReleaseThread(rec);
  return code;
}

PlatThread PlatThreadCreateSuspended(PlatThreadRoutine routine, void *parameter,
                                     uint32_t *threadId) {
  PlatThreadRec *rec = new (std::nothrow) PlatThreadRec;
  if (!rec) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  rec->routine = routine;
  rec->parameter = parameter;
  rec->state = THREAD_SUSPENDED;
  rec->references = 2;
  DWORD id = 0;
  rec->handle = SysCreateThread(nullptr, 0, ThreadStart, rec, CREATE_SUSPENDED, &id);
  if (!rec->handle) {
    DWORD error = GetLastError();
    delete rec;
    SetLastError(error);
    return nullptr;
  }
  *threadId = id;
  return rec;
}

// Moves the state on from suspended; true when this call did it.
static bool LeaveSuspended(PlatThreadRec *rec, ThreadState state) {
  return InterlockedCompareExchange(&rec->state, state, THREAD_SUSPENDED) == THREAD_SUSPENDED;
}

uint32_t PlatThreadResume(PlatThread thread) {
  if (!LeaveSuspended(thread, THREAD_RESUMED)) {
    if (thread->state == THREAD_RESUMED) return 0;  // no longer suspended
    SetLastError(ERROR_INVALID_HANDLE);             // terminated
    return 0xFFFFFFFF;
  }
  DWORD previous = SysResumeThread(thread->handle);
  if (previous == static_cast<DWORD>(-1)) {
    DWORD error = GetLastError();
    InterlockedExchange(&thread->state, THREAD_SUSPENDED);  // it can still be ended
    SetLastError(error);
  }
  return previous;
}

int PlatThreadTerminate(PlatThread thread, uint32_t exitCode) {
  if (!LeaveSuspended(thread, THREAD_TERMINATED)) return 0;  // running: see above
  if (!TerminateThread(thread->handle, exitCode)) return -1;
  ReleaseThread(thread);  // the thread's own reference: it never starts
  return 0;
}

int PlatThreadClose(PlatThread thread) {
  BOOL closed = CloseHandle(thread->handle);
  ReleaseThread(thread);
  return closed ? 0 : -1;
}

uint32_t PlatCurrentThreadId() { return SysGetCurrentThreadId(); }

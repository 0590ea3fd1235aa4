// The Win32 backend's failing stand-ins: each fails as its system call
// fails while a fault is armed on its entry, and calls the system's own
// otherwise.
#include <iterator>

#include "PlatSyscallTable.h"
#include "fault/Fault.h"

namespace {

// True when this call fails; the error goes to the socket interface's last
// error or to the thread's.
bool SocketCallFails(int index) {
  int error = 0;
  if (!PlatSyscallFaultHit(index, &error)) return false;
  WSASetLastError(error);
  return true;
}

bool CallFails(int index) {
  int error = 0;
  if (!PlatSyscallFaultHit(index, &error)) return false;
  SetLastError(static_cast<DWORD>(error));
  return true;
}

int WSAAPI FailingSelect(int count, fd_set *readable, fd_set *writable, fd_set *failed,
                         TIMEVAL *timeout) {
  if (SocketCallFails(SYS_SOCKET_WAIT)) return SOCKET_ERROR;
  return PlatSyscallSystem<decltype(&select)>(SYS_SOCKET_WAIT)(count, readable, writable, failed,
                                                               timeout);
}

SOCKET WSAAPI FailingAccept(SOCKET listener, struct sockaddr *address, int *length) {
  if (SocketCallFails(SYS_SOCKET_ACCEPT)) return INVALID_SOCKET;
  return PlatSyscallSystem<decltype(&accept)>(SYS_SOCKET_ACCEPT)(listener, address, length);
}

int WSAAPI FailingRecv(SOCKET sock, char *buffer, int length, int flags) {
  if (SocketCallFails(SYS_SOCKET_RECV)) return SOCKET_ERROR;
  return PlatSyscallSystem<decltype(&recv)>(SYS_SOCKET_RECV)(sock, buffer, length, flags);
}

int WSAAPI FailingSend(SOCKET sock, const char *buffer, int length, int flags) {
  if (SocketCallFails(SYS_SOCKET_SEND)) return SOCKET_ERROR;
  return PlatSyscallSystem<decltype(&send)>(SYS_SOCKET_SEND)(sock, buffer, length, flags);
}

int WSAAPI FailingWSASend(SOCKET sock, LPWSABUF pieces, DWORD count, LPDWORD sent, DWORD flags,
                          LPWSAOVERLAPPED overlapped,
                          LPWSAOVERLAPPED_COMPLETION_ROUTINE completion) {
  if (SocketCallFails(SYS_SOCKET_SEND_PIECES)) return SOCKET_ERROR;
  return PlatSyscallSystem<decltype(&WSASend)>(SYS_SOCKET_SEND_PIECES)(
      sock, pieces, count, sent, flags, overlapped, completion);
}

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                                  LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD flags,
                                  LPDWORD threadId) {
  if (CallFails(SYS_THREAD_CREATE)) return nullptr;
  return PlatSyscallSystem<decltype(&CreateThread)>(SYS_THREAD_CREATE)(
      security, stackSize, routine, parameter, flags, threadId);
}

DWORD WINAPI FailingResumeThread(HANDLE thread) {
  if (CallFails(SYS_THREAD_RESUME)) return static_cast<DWORD>(-1);
  return PlatSyscallSystem<decltype(&ResumeThread)>(SYS_THREAD_RESUME)(thread);
}

// No thread has the identifier 0: the caller is then no thread it knows.
DWORD WINAPI FailingGetCurrentThreadId() {
  int error = 0;
  if (PlatSyscallFaultHit(SYS_THREAD_ID, &error)) return 0;
  return PlatSyscallSystem<decltype(&GetCurrentThreadId)>(SYS_THREAD_ID)();
}

BOOL WINAPI FailingInitializeCriticalSection(LPCRITICAL_SECTION section, DWORD spinCount) {
  if (CallFails(SYS_LOCK_INIT)) return FALSE;
  return PlatSyscallSystem<decltype(&InitializeCriticalSectionAndSpinCount)>(SYS_LOCK_INIT)(
      section, spinCount);
}

void *FailingMalloc(size_t size) {
  if (CallFails(SYS_MEMORY_ALLOC)) return nullptr;
  return PlatSyscallSystem<decltype(&Win32Malloc)>(SYS_MEMORY_ALLOC)(size);
}

BOOL WINAPI FailingCreatePipe(PHANDLE readEnd, PHANDLE writeEnd, LPSECURITY_ATTRIBUTES security,
                              DWORD size) {
  if (CallFails(SYS_PIPE_CREATE)) return FALSE;
  return PlatSyscallSystem<decltype(&CreatePipe)>(SYS_PIPE_CREATE)(readEnd, writeEnd, security,
                                                                   size);
}

BOOL WINAPI FailingDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                   LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
  if (CallFails(SYS_HANDLE_DUPLICATE)) return FALSE;
  return PlatSyscallSystem<decltype(&DuplicateHandle)>(SYS_HANDLE_DUPLICATE)(
      sourceProcess, source, targetProcess, target, access, inherit, options);
}

BOOL WINAPI FailingPeekNamedPipe(HANDLE pipe, LPVOID buffer, DWORD size, LPDWORD read,
                                 LPDWORD total, LPDWORD left) {
  if (CallFails(SYS_PIPE_PEEK)) return FALSE;
  return PlatSyscallSystem<decltype(&PeekNamedPipe)>(SYS_PIPE_PEEK)(pipe, buffer, size, read,
                                                                    total, left);
}

BOOL WINAPI FailingReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read,
                            LPOVERLAPPED overlapped) {
  if (CallFails(SYS_PIPE_READ)) return FALSE;
  return PlatSyscallSystem<decltype(&ReadFile)>(SYS_PIPE_READ)(file, buffer, length, read,
                                                               overlapped);
}

BOOL WINAPI FailingGetExitCodeProcess(HANDLE process, LPDWORD code) {
  if (CallFails(SYS_PROCESS_EXIT_CODE)) return FALSE;
  return PlatSyscallSystem<decltype(&GetExitCodeProcess)>(SYS_PROCESS_EXIT_CODE)(process, code);
}

HANDLE WINAPI FailingCreateJobObjectA(LPSECURITY_ATTRIBUTES security, LPCSTR name) {
  if (CallFails(SYS_GROUP_CREATE)) return nullptr;
  return PlatSyscallSystem<decltype(&CreateJobObjectA)>(SYS_GROUP_CREATE)(security, name);
}

BOOL WINAPI FailingAssignProcessToJobObject(HANDLE job, HANDLE process) {
  if (CallFails(SYS_GROUP_JOIN)) return FALSE;
  return PlatSyscallSystem<decltype(&AssignProcessToJobObject)>(SYS_GROUP_JOIN)(job, process);
}

// The query reports a failure by its status, never by the last error: the
// error number comes as a status that carries it (facility Win32), which
// the system converts back to the number.
LONG NTAPI FailingQuerySystemInformation(ULONG infoClass, void *buffer, ULONG length,
                                         ULONG *needed) {
  int error = 0;
  if (PlatSyscallFaultHit(SYS_PROCESS_LIST, &error))
    return static_cast<LONG>(0xC0070000u | (static_cast<unsigned>(error) & 0xFFFFu));
  return PlatSyscallSystem<decltype(&Win32QuerySystemInformation)>(SYS_PROCESS_LIST)(
      infoClass, buffer, length, needed);
}

}  // namespace

// In the order of Win32Syscall.
FaultStandIn FaultStandIns[] = {
    FAULT_STAND_IN(SYS_SOCKET_WAIT, FailingSelect),
    FAULT_STAND_IN(SYS_SOCKET_ACCEPT, FailingAccept),
    FAULT_STAND_IN(SYS_SOCKET_RECV, FailingRecv),
    FAULT_STAND_IN(SYS_SOCKET_SEND, FailingSend),
    FAULT_STAND_IN(SYS_SOCKET_SEND_PIECES, FailingWSASend),
    FAULT_STAND_IN(SYS_THREAD_CREATE, FailingCreateThread),
    FAULT_STAND_IN(SYS_THREAD_RESUME, FailingResumeThread),
    FAULT_STAND_IN(SYS_THREAD_ID, FailingGetCurrentThreadId),
    FAULT_STAND_IN(SYS_LOCK_INIT, FailingInitializeCriticalSection),
    FAULT_STAND_IN(SYS_MEMORY_ALLOC, FailingMalloc),
    FAULT_STAND_IN(SYS_PIPE_CREATE, FailingCreatePipe),
    FAULT_STAND_IN(SYS_HANDLE_DUPLICATE, FailingDuplicateHandle),
    FAULT_STAND_IN(SYS_PIPE_PEEK, FailingPeekNamedPipe),
    FAULT_STAND_IN(SYS_PIPE_READ, FailingReadFile),
    FAULT_STAND_IN(SYS_PROCESS_EXIT_CODE, FailingGetExitCodeProcess),
    FAULT_STAND_IN(SYS_GROUP_CREATE, FailingCreateJobObjectA),
    FAULT_STAND_IN(SYS_GROUP_JOIN, FailingAssignProcessToJobObject),
    FAULT_STAND_IN(SYS_PROCESS_LIST, FailingQuerySystemInformation),
};
static_assert(std::size(FaultStandIns) == SYS_COUNT, "one stand-in for every Win32Syscall");

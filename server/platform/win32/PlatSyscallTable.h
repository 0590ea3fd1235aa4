// The Win32 backend's system-call table (see platform/PlatSyscall.h): the
// entries' indexes and the names the backend's files call them by. How to
// route another call through it: see posix/PlatSyscallTable.h; an entry
// keeps the neutral name of its POSIX counterpart, and its failing stand-in
// goes to tests/fault/win32/FaultStandIns.cpp.
#ifndef TARVELD_WIN32_PLAT_SYSCALL_TABLE_H
#define TARVELD_WIN32_PLAT_SYSCALL_TABLE_H

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>

#include "platform/PlatSyscall.h"

enum Win32Syscall {
  SYS_SOCKET_WAIT,
  SYS_SOCKET_ACCEPT,
  SYS_SOCKET_RECV,
  SYS_SOCKET_SEND,
  SYS_SOCKET_SEND_PIECES,
  SYS_THREAD_CREATE,
  SYS_THREAD_RESUME,
  SYS_THREAD_ID,
  SYS_LOCK_INIT,
  SYS_MEMORY_ALLOC,
  SYS_PIPE_CREATE,
  SYS_HANDLE_DUPLICATE,
  SYS_PIPE_PEEK,
  SYS_PIPE_READ,
  SYS_PROCESS_EXIT_CODE,
  SYS_GROUP_CREATE,
  SYS_GROUP_JOIN,
  SYS_PROCESS_LIST,
  SYS_COUNT
};

// malloc that says why it failed in the last error (PlatSystem.cpp).
void *Win32Malloc(size_t size);
// ntdll.dll's ZwQuerySystemInformation, loaded at start-up
// (PlatProcessList.cpp): an NTSTATUS, never a last error.
LONG NTAPI Win32QuerySystemInformation(ULONG infoClass, void *buffer, ULONG length, ULONG *needed);

#define SysSelect PLAT_SYSCALL(SYS_SOCKET_WAIT, select)
#define SysAccept PLAT_SYSCALL(SYS_SOCKET_ACCEPT, accept)
#define SysRecv PLAT_SYSCALL(SYS_SOCKET_RECV, recv)
#define SysSend PLAT_SYSCALL(SYS_SOCKET_SEND, send)
#define SysWSASend PLAT_SYSCALL(SYS_SOCKET_SEND_PIECES, WSASend)
#define SysCreateThread PLAT_SYSCALL(SYS_THREAD_CREATE, CreateThread)
#define SysResumeThread PLAT_SYSCALL(SYS_THREAD_RESUME, ResumeThread)
#define SysGetCurrentThreadId PLAT_SYSCALL(SYS_THREAD_ID, GetCurrentThreadId)
#define SysInitializeCriticalSection \
  PLAT_SYSCALL(SYS_LOCK_INIT, InitializeCriticalSectionAndSpinCount)
#define SysMalloc PLAT_SYSCALL(SYS_MEMORY_ALLOC, Win32Malloc)
#define SysCreatePipe PLAT_SYSCALL(SYS_PIPE_CREATE, CreatePipe)
#define SysDuplicateHandle PLAT_SYSCALL(SYS_HANDLE_DUPLICATE, DuplicateHandle)
#define SysPeekNamedPipe PLAT_SYSCALL(SYS_PIPE_PEEK, PeekNamedPipe)
#define SysReadFile PLAT_SYSCALL(SYS_PIPE_READ, ReadFile)
#define SysGetExitCodeProcess PLAT_SYSCALL(SYS_PROCESS_EXIT_CODE, GetExitCodeProcess)
#define SysCreateJobObjectA PLAT_SYSCALL(SYS_GROUP_CREATE, CreateJobObjectA)
#define SysAssignProcessToJobObject PLAT_SYSCALL(SYS_GROUP_JOIN, AssignProcessToJobObject)
#define SysQuerySystemInformation PLAT_SYSCALL(SYS_PROCESS_LIST, Win32QuerySystemInformation)

#endif

// The POSIX backend's system-call table (see platform/PlatSyscall.h): the
// entries' indexes and the names the backend's files call them by.
//
// To route another call through the table:
//   1. add an index here, before SYS_COUNT, and a Sys... name for the call;
//   2. add its entry at the same place in PlatSyscallTable.cpp: the neutral
//      name, the system's name, the call, and a failing stand-in of the same
//      type that fails as the call itself fails when PlatSyscallFaultHit
//      says so (result and error number) and calls the system's otherwise;
//   3. call it by its Sys... name in the backend;
//   4. mirror the entry in the Win32 backend under the same neutral name,
//      where Windows has such a call.
#ifndef TARVELD_POSIX_PLAT_SYSCALL_TABLE_H
#define TARVELD_POSIX_PLAT_SYSCALL_TABLE_H

#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "platform/PlatSyscall.h"

enum PosixSyscall {
  SYS_SOCKET_WAIT,
  SYS_SOCKET_ACCEPT,
  SYS_SOCKET_ACCEPT_PENDING,
  SYS_SOCKET_RECV,
  SYS_SOCKET_SEND,
  SYS_SOCKET_SEND_PIECES,
  SYS_SOCKET_RECEIVE_TIMEOUT,
  SYS_THREAD_CREATE,
  SYS_THREAD_RESUME,
  SYS_THREAD_ID,
  SYS_CONSOLE_THREAD_CREATE,
  SYS_LOCK_INIT,
  SYS_MEMORY_ALLOC,
  SYS_PIPE_CREATE,
  SYS_HANDLE_DUPLICATE,
  SYS_PIPE_PEEK,
  SYS_PIPE_READ,
  SYS_PROCESS_EXIT_CODE,
  SYS_COUNT
};

// The identifier of the calling thread (PlatThread.cpp): the server's own
// numbers, which the table serves like a system call.
uint32_t PosixThreadId();
// Calls of PlatProcess.cpp that the system makes through variadic ones:
// a close-on-exec copy of a descriptor (fcntl), and the bytes waiting in a
// pipe (ioctl). Each reports like the call behind it.
int PosixDuplicate(int fd);
int PosixPipeWaiting(int fd, int *count);

#define SYSCALL(index, call) (PlatSyscallCurrent<decltype(&call)>(index))
#define SysPpoll SYSCALL(SYS_SOCKET_WAIT, ppoll)
#define SysAccept4 SYSCALL(SYS_SOCKET_ACCEPT, accept4)
#define SysAccept4Pending SYSCALL(SYS_SOCKET_ACCEPT_PENDING, accept4)
#define SysRecv SYSCALL(SYS_SOCKET_RECV, recv)
#define SysSend SYSCALL(SYS_SOCKET_SEND, send)
#define SysSendmsg SYSCALL(SYS_SOCKET_SEND_PIECES, sendmsg)
#define SysSetReceiveTimeout SYSCALL(SYS_SOCKET_RECEIVE_TIMEOUT, setsockopt)
#define SysThreadCreate SYSCALL(SYS_THREAD_CREATE, pthread_create)
#define SysThreadResume SYSCALL(SYS_THREAD_RESUME, sem_post)
#define SysThreadId SYSCALL(SYS_THREAD_ID, PosixThreadId)
#define SysConsoleThreadCreate SYSCALL(SYS_CONSOLE_THREAD_CREATE, pthread_create)
#define SysLockInit SYSCALL(SYS_LOCK_INIT, pthread_mutex_init)
#define SysMalloc SYSCALL(SYS_MEMORY_ALLOC, malloc)
#define SysPipe2 SYSCALL(SYS_PIPE_CREATE, pipe2)
#define SysDuplicate SYSCALL(SYS_HANDLE_DUPLICATE, PosixDuplicate)
#define SysPipeWaiting SYSCALL(SYS_PIPE_PEEK, PosixPipeWaiting)
#define SysPipeRead SYSCALL(SYS_PIPE_READ, read)
#define SysWaitid SYSCALL(SYS_PROCESS_EXIT_CODE, waitid)

#endif

// The POSIX backend's system-call table (see platform/PlatSyscall.h): the
// entries' indexes and the names the backend's files call them by.
//
// To route another call through the table:
//   1. add an index here, before SYS_COUNT, and a Sys... name for the call;
//   2. add its entry at the same place in PlatSyscallTable.cpp: the neutral
//      name and the call;
//   3. call it by its Sys... name in the backend;
//   4. give the tests a failing stand-in of the same type at the same place
//      in tests/fault/posix/FaultStandIns.cpp: it fails as the call itself
//      fails when PlatSyscallFaultHit says so (result and error number) and
//      calls the system's otherwise;
//   5. mirror the entry and its stand-in in the Win32 backend under the same
//      neutral name, where Windows has such a call.
#ifndef TARVELD_POSIX_PLAT_SYSCALL_TABLE_H
#define TARVELD_POSIX_PLAT_SYSCALL_TABLE_H

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
  SYS_GROUP_CREATE,
  SYS_PROCESS_LIST,
  SYS_GROUP_SPAWN,
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
// A child that shares the caller's memory, on the given stack, born into
// the cgroup2 group whose folder is open as folder, that runs
// child(argument) and ends with its result, while the calling thread waits
// until it runs a program or ends (clone3 with CLONE_VM, CLONE_VFORK and
// CLONE_INTO_CGROUP): its id, or -1 when it was not made
// (PlatSpawnContained.cpp).
pid_t PosixCloneIntoGroup(int folder, char *stack, size_t stackSize, int (*child)(void *),
                          void *argument);

#define SysPpoll PLAT_SYSCALL(SYS_SOCKET_WAIT, ppoll)
#define SysAccept4 PLAT_SYSCALL(SYS_SOCKET_ACCEPT, accept4)
#define SysAccept4Pending PLAT_SYSCALL(SYS_SOCKET_ACCEPT_PENDING, accept4)
#define SysRecv PLAT_SYSCALL(SYS_SOCKET_RECV, recv)
#define SysSend PLAT_SYSCALL(SYS_SOCKET_SEND, send)
#define SysSendmsg PLAT_SYSCALL(SYS_SOCKET_SEND_PIECES, sendmsg)
#define SysSetReceiveTimeout PLAT_SYSCALL(SYS_SOCKET_RECEIVE_TIMEOUT, setsockopt)
#define SysThreadCreate PLAT_SYSCALL(SYS_THREAD_CREATE, pthread_create)
#define SysThreadResume PLAT_SYSCALL(SYS_THREAD_RESUME, sem_post)
#define SysThreadId PLAT_SYSCALL(SYS_THREAD_ID, PosixThreadId)
#define SysConsoleThreadCreate PLAT_SYSCALL(SYS_CONSOLE_THREAD_CREATE, pthread_create)
#define SysLockInit PLAT_SYSCALL(SYS_LOCK_INIT, pthread_mutex_init)
#define SysMalloc PLAT_SYSCALL(SYS_MEMORY_ALLOC, malloc)
#define SysPipe2 PLAT_SYSCALL(SYS_PIPE_CREATE, pipe2)
#define SysDuplicate PLAT_SYSCALL(SYS_HANDLE_DUPLICATE, PosixDuplicate)
#define SysPipeWaiting PLAT_SYSCALL(SYS_PIPE_PEEK, PosixPipeWaiting)
#define SysPipeRead PLAT_SYSCALL(SYS_PIPE_READ, read)
#define SysWaitid PLAT_SYSCALL(SYS_PROCESS_EXIT_CODE, waitid)
#define SysGroupCreate PLAT_SYSCALL(SYS_GROUP_CREATE, mkdir)
#define SysOpendir PLAT_SYSCALL(SYS_PROCESS_LIST, opendir)
#define SysCloneIntoGroup PLAT_SYSCALL(SYS_GROUP_SPAWN, PosixCloneIntoGroup)

#endif

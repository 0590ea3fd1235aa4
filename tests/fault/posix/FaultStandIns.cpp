// The POSIX backend's failing stand-ins: each fails as its system call
// fails while a fault is armed on its entry, and calls the system's own
// otherwise.
#include <cerrno>
#include <iterator>

#include "PlatSyscallTable.h"
#include "fault/Fault.h"

namespace {

// For calls that report by errno: true when this call fails.
bool FailsWithErrno(int index) {
  int error = 0;
  if (!PlatSyscallFaultHit(index, &error)) return false;
  errno = error;
  return true;
}

// For calls that return their error number: the number, or 0 to go on.
int FailureResult(int index) {
  int error = 0;
  return PlatSyscallFaultHit(index, &error) ? error : 0;
}

int FailingPpoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout,
                 const sigset_t *mask) {
  if (FailsWithErrno(SYS_SOCKET_WAIT)) return -1;
  return PlatSyscallSystem<decltype(&ppoll)>(SYS_SOCKET_WAIT)(fds, count, timeout, mask);
}

int FailingAccept4(int fd, struct sockaddr *address, socklen_t *length, int flags) {
  if (FailsWithErrno(SYS_SOCKET_ACCEPT)) return -1;
  return PlatSyscallSystem<decltype(&accept4)>(SYS_SOCKET_ACCEPT)(fd, address, length, flags);
}

int FailingAccept4Pending(int fd, struct sockaddr *address, socklen_t *length, int flags) {
  if (FailsWithErrno(SYS_SOCKET_ACCEPT_PENDING)) return -1;
  return PlatSyscallSystem<decltype(&accept4)>(SYS_SOCKET_ACCEPT_PENDING)(fd, address, length,
                                                                         flags);
}

ssize_t FailingRecv(int fd, void *buffer, size_t length, int flags) {
  if (FailsWithErrno(SYS_SOCKET_RECV)) return -1;
  return PlatSyscallSystem<decltype(&recv)>(SYS_SOCKET_RECV)(fd, buffer, length, flags);
}

ssize_t FailingSend(int fd, const void *buffer, size_t length, int flags) {
  if (FailsWithErrno(SYS_SOCKET_SEND)) return -1;
  return PlatSyscallSystem<decltype(&send)>(SYS_SOCKET_SEND)(fd, buffer, length, flags);
}

ssize_t FailingSendmsg(int fd, const struct msghdr *message, int flags) {
  if (FailsWithErrno(SYS_SOCKET_SEND_PIECES)) return -1;
  return PlatSyscallSystem<decltype(&sendmsg)>(SYS_SOCKET_SEND_PIECES)(fd, message, flags);
}

int FailingSetReceiveTimeout(int fd, int level, int name, const void *value, socklen_t length) {
  if (FailsWithErrno(SYS_SOCKET_RECEIVE_TIMEOUT)) return -1;
  return PlatSyscallSystem<decltype(&setsockopt)>(SYS_SOCKET_RECEIVE_TIMEOUT)(fd, level, name,
                                                                            value, length);
}

int FailingThreadCreate(pthread_t *thread, const pthread_attr_t *attr, void *(*routine)(void *),
                        void *argument) {
  if (int error = FailureResult(SYS_THREAD_CREATE)) return error;
  return PlatSyscallSystem<decltype(&pthread_create)>(SYS_THREAD_CREATE)(
      thread, attr, routine, argument);
}

int FailingThreadResume(sem_t *semaphore) {
  if (FailsWithErrno(SYS_THREAD_RESUME)) return -1;
  return PlatSyscallSystem<decltype(&sem_post)>(SYS_THREAD_RESUME)(semaphore);
}

// No thread has the identifier 0: the caller is then no thread it knows.
uint32_t FailingThreadId() {
  int error = 0;
  if (PlatSyscallFaultHit(SYS_THREAD_ID, &error)) return 0;
  return PlatSyscallSystem<decltype(&PosixThreadId)>(SYS_THREAD_ID)();
}

int FailingConsoleThreadCreate(pthread_t *thread, const pthread_attr_t *attr,
                               void *(*routine)(void *), void *argument) {
  if (int error = FailureResult(SYS_CONSOLE_THREAD_CREATE)) return error;
  return PlatSyscallSystem<decltype(&pthread_create)>(SYS_CONSOLE_THREAD_CREATE)(
      thread, attr, routine, argument);
}

int FailingLockInit(pthread_mutex_t *mutex, const pthread_mutexattr_t *attr) {
  if (int error = FailureResult(SYS_LOCK_INIT)) return error;
  return PlatSyscallSystem<decltype(&pthread_mutex_init)>(SYS_LOCK_INIT)(mutex, attr);
}

void *FailingMalloc(size_t size) {
  if (FailsWithErrno(SYS_MEMORY_ALLOC)) return nullptr;
  return PlatSyscallSystem<decltype(&malloc)>(SYS_MEMORY_ALLOC)(size);
}

int FailingPipe2(int fds[2], int flags) {
  if (FailsWithErrno(SYS_PIPE_CREATE)) return -1;
  return PlatSyscallSystem<decltype(&pipe2)>(SYS_PIPE_CREATE)(fds, flags);
}

int FailingDuplicate(int fd) {
  if (FailsWithErrno(SYS_HANDLE_DUPLICATE)) return -1;
  return PlatSyscallSystem<decltype(&PosixDuplicate)>(SYS_HANDLE_DUPLICATE)(fd);
}

int FailingPipeWaiting(int fd, int *count) {
  if (FailsWithErrno(SYS_PIPE_PEEK)) return -1;
  return PlatSyscallSystem<decltype(&PosixPipeWaiting)>(SYS_PIPE_PEEK)(fd, count);
}

ssize_t FailingPipeRead(int fd, void *buffer, size_t length) {
  if (FailsWithErrno(SYS_PIPE_READ)) return -1;
  return PlatSyscallSystem<decltype(&read)>(SYS_PIPE_READ)(fd, buffer, length);
}

int FailingWaitid(idtype_t type, id_t id, siginfo_t *info, int options) {
  if (FailsWithErrno(SYS_PROCESS_EXIT_CODE)) return -1;
  return PlatSyscallSystem<decltype(&waitid)>(SYS_PROCESS_EXIT_CODE)(type, id, info, options);
}

int FailingMkdir(const char *path, mode_t mode) {
  if (FailsWithErrno(SYS_GROUP_CREATE)) return -1;
  return PlatSyscallSystem<decltype(&mkdir)>(SYS_GROUP_CREATE)(path, mode);
}

DIR *FailingOpendir(const char *path) {
  if (FailsWithErrno(SYS_PROCESS_LIST)) return nullptr;
  return PlatSyscallSystem<decltype(&opendir)>(SYS_PROCESS_LIST)(path);
}

pid_t FailingCloneIntoGroup(int folder, char *stack, size_t stackSize, int (*child)(void *),
                            void *argument) {
  if (FailsWithErrno(SYS_GROUP_SPAWN)) return -1;
  return PlatSyscallSystem<decltype(&PosixCloneIntoGroup)>(SYS_GROUP_SPAWN)(folder, stack, stackSize,
                                                                           child, argument);
}

}  // namespace

// In the order of PosixSyscall.
FaultStandIn FaultStandIns[] = {
    FAULT_STAND_IN(SYS_SOCKET_WAIT, FailingPpoll),
    FAULT_STAND_IN(SYS_SOCKET_ACCEPT, FailingAccept4),
    FAULT_STAND_IN(SYS_SOCKET_ACCEPT_PENDING, FailingAccept4Pending),
    FAULT_STAND_IN(SYS_SOCKET_RECV, FailingRecv),
    FAULT_STAND_IN(SYS_SOCKET_SEND, FailingSend),
    FAULT_STAND_IN(SYS_SOCKET_SEND_PIECES, FailingSendmsg),
    FAULT_STAND_IN(SYS_SOCKET_RECEIVE_TIMEOUT, FailingSetReceiveTimeout),
    FAULT_STAND_IN(SYS_THREAD_CREATE, FailingThreadCreate),
    FAULT_STAND_IN(SYS_THREAD_RESUME, FailingThreadResume),
    FAULT_STAND_IN(SYS_THREAD_ID, FailingThreadId),
    FAULT_STAND_IN(SYS_CONSOLE_THREAD_CREATE, FailingConsoleThreadCreate),
    FAULT_STAND_IN(SYS_LOCK_INIT, FailingLockInit),
    FAULT_STAND_IN(SYS_MEMORY_ALLOC, FailingMalloc),
    FAULT_STAND_IN(SYS_PIPE_CREATE, FailingPipe2),
    FAULT_STAND_IN(SYS_HANDLE_DUPLICATE, FailingDuplicate),
    FAULT_STAND_IN(SYS_PIPE_PEEK, FailingPipeWaiting),
    FAULT_STAND_IN(SYS_PIPE_READ, FailingPipeRead),
    FAULT_STAND_IN(SYS_PROCESS_EXIT_CODE, FailingWaitid),
    FAULT_STAND_IN(SYS_GROUP_CREATE, FailingMkdir),
    FAULT_STAND_IN(SYS_PROCESS_LIST, FailingOpendir),
    FAULT_STAND_IN(SYS_GROUP_SPAWN, FailingCloneIntoGroup),
};
static_assert(std::size(FaultStandIns) == SYS_COUNT, "one stand-in for every PosixSyscall");

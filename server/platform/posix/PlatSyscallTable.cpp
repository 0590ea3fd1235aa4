// The POSIX backend's system-call table: every entry with its system call.
#include "PlatSyscallTable.h"

#include <iterator>

// In the order of PosixSyscall.
PlatSyscallEntry PlatSyscalls[] = {
    PLAT_SYSCALL_ENTRY("socket-wait", ppoll),
    PLAT_SYSCALL_ENTRY("socket-accept", accept4),
    // The accept without a wait that comes before the wait for connections.
    PLAT_SYSCALL_ENTRY("socket-accept-pending", accept4),
    PLAT_SYSCALL_ENTRY("socket-recv", recv),
    PLAT_SYSCALL_ENTRY("socket-send", send),
    // Several pieces in one send: a header with the body that follows it.
    PLAT_SYSCALL_ENTRY("socket-send-pieces", sendmsg),
    // The receive time-out that accepted sockets take over from the listener.
    PLAT_SYSCALL_ENTRY("socket-receive-timeout", setsockopt),
    // The system thread of a transaction; a kept thread serves without one.
    PLAT_SYSCALL_ENTRY("thread-create", pthread_create),
    // Opens the gate of a suspended thread.
    PLAT_SYSCALL_ENTRY("thread-resume", sem_post),
    PLAT_SYSCALL_ENTRY("thread-id", PosixThreadId),
    // The thread that delivers a console event to the handlers.
    PLAT_SYSCALL_ENTRY("console-thread-create", pthread_create),
    PLAT_SYSCALL_ENTRY("lock-init", pthread_mutex_init),
    // Memory that the server may run out of: the receive buffers.
    PLAT_SYSCALL_ENTRY("memory-alloc", malloc),
    // A CGI run: its two pipes, the server's private copies of their ends,
    // the look at and the read of the output, the look at the program's end.
    PLAT_SYSCALL_ENTRY("pipe-create", pipe2),
    PLAT_SYSCALL_ENTRY("handle-duplicate", PosixDuplicate),
    PLAT_SYSCALL_ENTRY("pipe-peek", PosixPipeWaiting),
    PLAT_SYSCALL_ENTRY("pipe-read", read),
    PLAT_SYSCALL_ENTRY("process-exit-code", waitid),
    // A control group for a CGI run, and the look at whether one can be made.
    PLAT_SYSCALL_ENTRY("group-create", mkdir),
    // The system's process list, read for the end of a run's process tree.
    PLAT_SYSCALL_ENTRY("process-list", opendir),
    // A CGI program born into its run's control group.
    PLAT_SYSCALL_ENTRY("group-spawn", PosixCloneIntoGroup),
};
static_assert(std::size(PlatSyscalls) == SYS_COUNT, "one entry for every PosixSyscall");

const int PlatSyscallCount = SYS_COUNT;

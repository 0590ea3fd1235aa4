// The Win32 backend's system-call table: every entry with its system call.
#include "PlatSyscallTable.h"

#include <iterator>

// In the order of Win32Syscall.
PlatSyscallEntry PlatSyscalls[] = {
    PLAT_SYSCALL_ENTRY("socket-wait", select),
    PLAT_SYSCALL_ENTRY("socket-accept", accept),
    PLAT_SYSCALL_ENTRY("socket-recv", recv),
    PLAT_SYSCALL_ENTRY("socket-send", send),
    PLAT_SYSCALL_ENTRY("socket-send-pieces", WSASend),
    PLAT_SYSCALL_ENTRY("thread-create", CreateThread),
    PLAT_SYSCALL_ENTRY("thread-resume", ResumeThread),
    PLAT_SYSCALL_ENTRY("thread-id", GetCurrentThreadId),
    PLAT_SYSCALL_ENTRY("lock-init", InitializeCriticalSectionAndSpinCount),
    // Memory that the server may run out of: the receive buffers.
    PLAT_SYSCALL_ENTRY("memory-alloc", Win32Malloc),
    // A CGI run: its two pipes, the server's private copies of their ends,
    // the look at and the read of the output, the look at the program's end.
    PLAT_SYSCALL_ENTRY("pipe-create", CreatePipe),
    PLAT_SYSCALL_ENTRY("handle-duplicate", DuplicateHandle),
    PLAT_SYSCALL_ENTRY("pipe-peek", PeekNamedPipe),
    PLAT_SYSCALL_ENTRY("pipe-read", ReadFile),
    PLAT_SYSCALL_ENTRY("process-exit-code", GetExitCodeProcess),
    // A job object for a CGI run (and the look at whether one can be made),
    // and the program's entry into it.
    PLAT_SYSCALL_ENTRY("group-create", CreateJobObjectA),
    PLAT_SYSCALL_ENTRY("group-join", AssignProcessToJobObject),
    // The system's process list, read for the end of a run's process tree.
    PLAT_SYSCALL_ENTRY("process-list", Win32QuerySystemInformation),
};
static_assert(std::size(PlatSyscalls) == SYS_COUNT, "one entry for every Win32Syscall");

const int PlatSyscallCount = SYS_COUNT;

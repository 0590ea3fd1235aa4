// What the POSIX process files share: the process record.
#ifndef TARVELD_PLAT_PROCESS_REC_H
#define TARVELD_PLAT_PROCESS_REC_H

#include <sys/types.h>

#include <cstdint>

#include "platform/platform.h"

// A process the server holds: either a child it started (owned: registered
// until closed, its exit status taken only by its owner) or a process opened
// for termination only.
struct PlatProcessRec {
  pid_t pid;
  int owned;
  int exited;          // the exit status has been seen (reaped only at close)
  int reaped;          // PlatProcessFinish took the status
  int pidfd;           // the process descriptor of an owned child, or -1
  uint32_t exitCode;
  PlatProcessRec *next;  // in the registry of owned children
};

// The child's three standard descriptors and nothing above them.
struct ChildDescriptors {
  int in;
  int out;
  int err;                // -1: /dev/null
  const char *directory;  // null: the server's
};

// Starts a program inside its run's container (PlatSpawnContained.cpp):
// 0 with *pid, or the error number of what failed.
int PosixSpawnContained(const char *program, char *const argv[], char *const envp[],
                        const ChildDescriptors *fds, PlatContainer container, pid_t *pid);

#endif

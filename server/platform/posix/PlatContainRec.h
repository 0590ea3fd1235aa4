// What the POSIX process files share of a run's containment: its groups.
#ifndef TARVELD_PLAT_CONTAIN_REC_H
#define TARVELD_PLAT_CONTAIN_REC_H

#include <cstdint>

#include "PlatConfig.h"

// A run's container: its groups ("" for none: the run is held by its
// process group and capped per process), the cgroup2 group's folder open for
// the program to be born into, and each group's cgroup.procs open for the
// program to join before its first instruction (-1 for none).
struct PlatContainerRec {
  char unified[PLAT_MAX_PATH];
  char pids[PLAT_MAX_PATH];
  char memory[PLAT_MAX_PATH];
  int unifiedFolder;
  int procs[3];
  int64_t memoryLimit;   // the per-process limits where there are no groups
  int32_t cpuLimitMsec;
};

#endif

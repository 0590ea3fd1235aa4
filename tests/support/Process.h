// Processes as /proc shows them (Linux): state, parent and start time,
// children, descriptors, threads and CPU time.
#ifndef TARVELD_SUPPORT_PROCESS_H
#define TARVELD_SUPPORT_PROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace support {

// The fields of /proc/<pid>/stat the tests look at.
struct ProcessStat {
  char state = 0;  // R, S, D, ...; Z for a zombie, X for a dead one
  pid_t parent = 0;
  // Clock ticks after the boot: with the id, it tells the process from a
  // later one that gets the same id.
  unsigned long long startTime = 0;
};

// False when there is no such process (any more, zombies count as there).
bool ReadProcessStat(pid_t pid, ProcessStat *stat);
// Ended: no such process, or a zombie.
bool ProcessGone(pid_t pid);
// Not even a zombie is left: the process has been reaped.
bool ProcessReaped(pid_t pid);
// Direct children of every thread of the process, zombies included.
std::vector<pid_t> ChildProcesses(pid_t pid);
// Kills the process's descendants (never the process), the deepest first.
void KillDescendants(pid_t pid);

// Each open descriptor and what it refers to ("pipe:[123]", "socket:[45]",
// a path).
std::map<int, std::string> Descriptors(pid_t pid);
int OpenDescriptors(pid_t pid);  // -1 when there is no such process
int ThreadCount(pid_t pid);      // -1 likewise
double CpuSeconds(pid_t pid);    // user and system time spent so far

}  // namespace support

#endif

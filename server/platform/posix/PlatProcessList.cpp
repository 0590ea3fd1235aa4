// POSIX backend of the process list, read from /proc, and of termination by
// id. Creation times are start times in clock ticks since boot: coarse, so a
// child may share its parent's; never earlier.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PlatProcessRec.h"
#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

const uint32_t FIRST_CAPACITY = 512;  // entries; doubled as the list needs

// Id, parent id and start time of a live process from /proc/<name>/stat.
// Entries that are not processes, have gone, or have ended (zombies) give
// false.
bool ReadProcess(const char *name, PlatProcessEntry *entry) {
  if (name[0] < '1' || name[0] > '9') return false;
  char path[300];
  snprintf(path, sizeof path, "/proc/%s/stat", name);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat[1024];
  ssize_t length = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (length <= 0) return false;
  stat[length] = '\0';
  // "pid (name) state ppid ... starttime(22nd) ...": the name may hold any
  // character, so the fields after it are found from its last ")".
  const char *close = strrchr(stat, ')');
  char state = 0;
  long parent = 0;
  unsigned long long startTime = 0;
  if (!close ||
      sscanf(close + 1, " %c %ld %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
             &state, &parent, &startTime) != 3)
    return false;
  if (state == 'Z' || state == 'X') return false;
  entry->processId = static_cast<uint32_t>(strtoul(name, nullptr, 10));
  entry->parentId = static_cast<uint32_t>(parent);
  entry->creationTime = startTime;
  return true;
}

// Appends an entry, growing the array as needed; false when out of memory.
bool Append(PlatProcessEntry **list, uint32_t *count, uint32_t *capacity,
            const PlatProcessEntry &entry) {
  if (*count == *capacity) {
    uint32_t larger = *capacity ? *capacity * 2 : FIRST_CAPACITY;
    void *grown = realloc(*list, larger * sizeof **list);
    if (!grown) return false;
    *list = static_cast<PlatProcessEntry *>(grown);
    *capacity = larger;
  }
  (*list)[(*count)++] = entry;
  return true;
}

}  // namespace

int PlatProcessListInit(const char **failedCall) {
  DIR *proc = opendir("/proc");
  if (!proc) {
    *failedCall = "opendir";
    return -1;
  }
  closedir(proc);
  return 0;
}

int PlatProcessList(PlatProcessEntry **entries, uint32_t *count, const char **failedCall) {
  DIR *proc = SysOpendir("/proc");
  if (!proc) {
    *failedCall = "opendir";
    return -1;
  }
  PlatProcessEntry *list = nullptr;
  uint32_t used = 0, capacity = 0;
  bool fits = true;
  while (dirent *found = readdir(proc)) {
    PlatProcessEntry entry;
    if (ReadProcess(found->d_name, &entry) && !(fits = Append(&list, &used, &capacity, entry)))
      break;
  }
  closedir(proc);
  if (!fits || used == 0) {  // none, not even the server itself: /proc is not usable
    free(list);
    *failedCall = fits ? "readdir" : "malloc";
    errno = fits ? ESRCH : ENOMEM;
    return -1;
  }
  *entries = list;
  *count = used;
  return 0;
}

// Id 0 and ids beyond the pid range would make kill() address a process
// group or every process, and the server never terminates itself. A
// process descriptor names the process itself, not its number: once it is
// open and the process behind it is the listed one (same start time), a
// number freed and given to another process meanwhile can no longer lead
// the termination astray.
PlatProcess PlatProcessOpenForTerminate(const PlatProcessEntry *entry) {
  uint32_t processId = entry->processId;
  if (processId == 0 || processId > static_cast<uint32_t>(INT_MAX)) {
    errno = ESRCH;
    return nullptr;
  }
  pid_t pid = static_cast<pid_t>(processId);
  if (pid == getpid()) {
    errno = EPERM;
    return nullptr;
  }
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0 && errno != ENOSYS) return nullptr;
  if (pidfd < 0 && kill(pid, 0) != 0) return nullptr;  // no descriptors: by number
  char name[16];
  snprintf(name, sizeof name, "%d", static_cast<int>(pid));
  PlatProcessEntry now;
  if (!ReadProcess(name, &now) || now.creationTime != entry->creationTime) {
    if (pidfd >= 0) close(pidfd);
    errno = ESRCH;  // gone, or another process under the same number
    return nullptr;
  }
  PlatProcessRec *process = static_cast<PlatProcessRec *>(calloc(1, sizeof *process));
  if (!process) {
    if (pidfd >= 0) close(pidfd);
    errno = ENOMEM;
    return nullptr;
  }
  process->pidfd = pidfd;
  process->pid = pid;
  return process;
}

int PlatProcessTerminate(PlatProcess process, uint32_t) {
  if (process->pidfd >= 0)
    return syscall(SYS_pidfd_send_signal, process->pidfd, SIGKILL, nullptr, 0) == 0 ? 0 : -1;
  return kill(process->pid, SIGKILL) == 0 ? 0 : -1;
}

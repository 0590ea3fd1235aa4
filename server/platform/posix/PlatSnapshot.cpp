// POSIX backend of the process snapshot and of termination by id. Loading
// "ntdll.dll" gives a stand-in module whose "ZwQuerySystemInformation" reads
// /proc into packed records of (next offset, process id, parent id); the
// load also makes the server the reaper of its orphaned descendants, so
// that the processes a time-out kills never stay zombies.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PlatProcessRec.h"
#include "platform/platform.h"

namespace {

struct SnapshotRecord {
  uint32_t nextEntryOffset;  // 0 in the last record
  uint32_t processId;
  uint32_t parentId;
};

// The query's status values, as the system's own query reports them.
const int32_t STATUS_UNSUCCESSFUL = static_cast<int32_t>(0xC0000001u);
const int32_t STATUS_INVALID_INFO_CLASS = static_cast<int32_t>(0xC0000003u);
const int32_t STATUS_INFO_LENGTH_MISMATCH = static_cast<int32_t>(0xC0000004u);

char StandInModule;  // its address is the module handle

// Id and parent id of a live process from /proc/<name>/stat. Entries that
// are not processes, have gone, or have ended (zombies) give false.
bool ReadProcess(const char *name, uint32_t *processId, uint32_t *parentId) {
  if (name[0] < '1' || name[0] > '9') return false;
  char path[300];
  snprintf(path, sizeof path, "/proc/%s/stat", name);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat[512];
  ssize_t length = read(fd, stat, sizeof stat - 1);
  close(fd);
  if (length <= 0) return false;
  stat[length] = '\0';
  // "pid (name) state ppid ...": the name may hold any character, so the
  // fields after it are found from its last ")".
  const char *close = strrchr(stat, ')');
  char state = 0;
  long parent = 0;
  if (!close || sscanf(close + 1, " %c %ld", &state, &parent) != 2) return false;
  if (state == 'Z' || state == 'X') return false;
  *processId = static_cast<uint32_t>(strtoul(name, nullptr, 10));
  *parentId = static_cast<uint32_t>(parent);
  return true;
}

// Fills the buffer with one record per live process. When the buffer is too
// small, *needed tells the size that the list took.
int32_t QueryProcessList(uint32_t infoClass, void *buffer, uint32_t length, uint32_t *needed) {
  if (infoClass != PLAT_SYSTEM_PROCESS_INFORMATION) {
    errno = EINVAL;
    return STATUS_INVALID_INFO_CLASS;
  }
  DIR *proc = opendir("/proc");
  if (!proc) return STATUS_UNSUCCESSFUL;
  SnapshotRecord *records = static_cast<SnapshotRecord *>(buffer);
  uint32_t capacity = length / sizeof(SnapshotRecord);
  uint32_t count = 0;
  while (dirent *entry = readdir(proc)) {
    uint32_t processId = 0, parentId = 0;
    if (!ReadProcess(entry->d_name, &processId, &parentId)) continue;
    if (count < capacity) records[count] = {sizeof(SnapshotRecord), processId, parentId};
    ++count;
  }
  closedir(proc);
  *needed = count * static_cast<uint32_t>(sizeof(SnapshotRecord));
  if (count == 0) {  // not even the server itself: /proc is not usable
    errno = ESRCH;
    return STATUS_UNSUCCESSFUL;
  }
  if (count > capacity) {
    errno = ERANGE;
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  records[count - 1].nextEntryOffset = 0;
  return 0;
}

const SnapshotRecord *Record(const void *record) {
  return static_cast<const SnapshotRecord *>(record);
}

}  // namespace

void *PlatLibraryLoad(const char *name) {
  if (strcasecmp(name, "ntdll.dll") != 0) {
    errno = ENOENT;
    return nullptr;
  }
  if (PosixAdoptOrphans() != 0) return nullptr;
  return &StandInModule;
}

void *PlatLibrarySymbol(void *library, const char *name) {
  if (library != &StandInModule || strcmp(name, "ZwQuerySystemInformation") != 0) {
    errno = ENOENT;
    return nullptr;
  }
  return reinterpret_cast<void *>(&QueryProcessList);
}

uint32_t PlatSnapshotNextOffset(const void *record) { return Record(record)->nextEntryOffset; }
uint32_t PlatSnapshotProcessId(const void *record) { return Record(record)->processId; }
uint32_t PlatSnapshotParentId(const void *record) { return Record(record)->parentId; }

// Id 0 and ids beyond the pid range would make kill() address a process
// group or every process, and the server never terminates itself.
PlatProcess PlatProcessOpenForTerminate(uint32_t processId) {
  if (processId == 0 || processId > static_cast<uint32_t>(INT_MAX)) {
    errno = ESRCH;
    return nullptr;
  }
  pid_t pid = static_cast<pid_t>(processId);
  if (pid == getpid()) {
    errno = EPERM;
    return nullptr;
  }
  if (kill(pid, 0) != 0) return nullptr;
  PlatProcessRec *process = static_cast<PlatProcessRec *>(calloc(1, sizeof *process));
  if (!process) {
    errno = ENOMEM;
    return nullptr;
  }
  process->pid = pid;
  return process;
}

int PlatProcessTerminate(PlatProcess process, uint32_t) {
  return kill(process->pid, SIGKILL) == 0 ? 0 : -1;
}

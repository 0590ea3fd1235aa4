// POSIX backend of CGI containment: control groups where the server may
// make them, process groups (and per-process resource limits) elsewhere.
//
// Every run gets a cgroup2 group of its own below the server's own group:
// nothing a program starts can leave it (no setsid, no double fork), and
// ending a run kills whatever is left in it (cgroup.kill). The caps use the
// controllers the host gives: those enabled for the server's children in
// cgroup2, or, on a host that keeps pids and memory on cgroup v1 mounts, a
// v1 group of each as well. The CPU cap reads the group's cpu.stat, which
// cgroup2 keeps without any controller. Where no group can be made, runs
// are held by their process group, memory and CPU are capped per process
// (RLIMIT_AS, RLIMIT_CPU), and the process cap is not enforced.
//
// The mounts and the server's own groups are read from /proc, never
// assumed. The program joins its groups itself, between its creation and
// its first instruction (see PlatProcess.cpp): the run's groups are handed
// to it as open cgroup.procs files.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PlatContainRec.h"
#include "PlatProcessRec.h"
#include "PlatSyscallTable.h"
#include "platform/platform.h"

// ThreadSanitizer takes a child that shares the server's memory until it
// runs its program for a fork of a threaded process, and stops the server:
// its builds hold runs in process groups.
#if defined(__SANITIZE_THREAD__)
#define PLAT_NO_SHARED_CHILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLAT_NO_SHARED_CHILD 1
#endif
#endif
#ifdef PLAT_NO_SHARED_CHILD
constexpr bool SHARED_CHILD = false;
#else
constexpr bool SHARED_CHILD = true;
#endif

namespace {

const int32_t EMPTY_WAIT_MSEC = 2000;  // for the processes of an ended group to go
const char NO_CONTROLLER[] = "no control group with its controller can be made";

// The hierarchies found at start-up; the run groups are made below these.
struct Hierarchies {
  char unified[PLAT_MAX_PATH];  // the server's cgroup2 group ("" for none)
  char pids[PLAT_MAX_PATH];     // its v1 pids group, used for the process cap
  char memory[PLAT_MAX_PATH];   // its v1 memory group, used for the memory cap
  bool unifiedPids;             // the controllers enabled below the cgroup2 group
  bool unifiedMemory;
};

Hierarchies Found;
PlatCaps Caps;
std::atomic<uint32_t> NextRun{1};

// folder/name into a path buffer; false (an empty path) when it does not fit.
bool PathOf(char *out, size_t size, const char *folder, const char *name) {
  size_t a = strlen(folder), b = strlen(name);
  if (a + 1 + b + 1 > size) {
    out[0] = '\0';
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(out, folder, a);
  out[a] = '/';
  memcpy(out + a + 1, name, b + 1);
  return true;
}

// ------------------------------------------------ reading /proc

bool ReadSmallFile(const char *path, char *text, size_t size) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t length = read(fd, text, size - 1);
  close(fd);
  if (length < 0) return false;
  text[length] = '\0';
  return true;
}

bool WriteSmallFile(const char *path, const char *text) {
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t length = static_cast<ssize_t>(strlen(text));
  bool written = write(fd, text, static_cast<size_t>(length)) == length;
  int error = errno;
  close(fd);
  errno = error;
  return written;
}

// The mount point field of mountinfo, its octal escapes (\040) undone.
void Unescape(const char *field, char *out, size_t size) {
  size_t used = 0;
  for (const char *at = field; *at && used + 1 < size; ++at) {
    if (at[0] == '\\' && at[1] >= '0' && at[1] <= '3' && at[2] && at[3]) {
      out[used++] = static_cast<char>((at[1] - '0') * 64 + (at[2] - '0') * 8 + (at[3] - '0'));
      at += 3;
    } else {
      out[used++] = *at;
    }
  }
  out[used] = '\0';
}

bool HasOption(const char *options, const char *name) {
  size_t length = strlen(name);
  for (const char *at = options; at && *at;) {
    const char *end = strchr(at, ',');
    size_t part = end ? static_cast<size_t>(end - at) : strlen(at);
    if (part == length && strncmp(at, name, length) == 0) return true;
    at = end ? end + 1 : nullptr;
  }
  return false;
}

// A mount of the cgroup hierarchy: its point and the root of the hierarchy
// it shows (not "/" inside a cgroup namespace's view).
struct Mount {
  char point[PLAT_MAX_PATH];
  char root[PLAT_MAX_PATH];
};

// The cgroup2 mount and the v1 mounts of the pids and memory controllers.
void ReadMounts(Mount *unified, Mount *pids, Mount *memory) {
  unified->point[0] = pids->point[0] = memory->point[0] = '\0';
  FILE *file = fopen("/proc/self/mountinfo", "re");
  if (!file) return;
  char line[4096];
  while (fgets(line, sizeof line, file)) {
    char root[PLAT_MAX_PATH], point[PLAT_MAX_PATH], type[64], source[256], options[1024];
    const char *dash = strstr(line, " - ");
    if (!dash || sscanf(line, "%*s %*s %*s %4095s %4095s", root, point) != 2 ||
        sscanf(dash + 3, "%63s %255s %1023s", type, source, options) != 3)
      continue;
    Mount *target = nullptr;
    if (strcmp(type, "cgroup2") == 0 && !unified->point[0]) target = unified;
    if (strcmp(type, "cgroup") == 0 && HasOption(options, "pids") && !pids->point[0]) target = pids;
    if (strcmp(type, "cgroup") == 0 && HasOption(options, "memory") && !memory->point[0])
      target = memory;
    if (!target) continue;
    Unescape(point, target->point, sizeof target->point);
    Unescape(root, target->root, sizeof target->root);
  }
  fclose(file);
}

// The server's own group in a hierarchy, from /proc/self/cgroup: "0::/x"
// for cgroup2, "N:pids:/x" for a v1 controller; false when it is not there.
bool OwnGroup(const char *controller, char *path, size_t size) {
  FILE *file = fopen("/proc/self/cgroup", "re");
  if (!file) return false;
  char line[4096];
  bool found = false;
  while (!found && fgets(line, sizeof line, file)) {
    char *first = strchr(line, ':');
    char *second = first ? strchr(first + 1, ':') : nullptr;
    if (!second) continue;
    *second = '\0';
    const char *controllers = first + 1;
    bool match = controller[0] ? HasOption(controllers, controller) : controllers[0] == '\0';
    if (!match) continue;
    second[1 + strcspn(second + 1, "\n")] = '\0';
    snprintf(path, size, "%s", second + 1);
    found = true;
  }
  fclose(file);
  return found;
}

// The folder of the server's own group in a hierarchy mounted at mount.
bool GroupFolder(const Mount &mount, const char *controller, char *folder, size_t size) {
  char own[PLAT_MAX_PATH];
  if (!mount.point[0] || !OwnGroup(controller, own, sizeof own)) return false;
  const char *below = own;
  size_t rootLength = strlen(mount.root);
  if (strcmp(mount.root, "/") != 0) {
    if (strncmp(own, mount.root, rootLength) != 0) return false;  // not in this view
    below = own + rootLength;
  }
  int length = snprintf(folder, size, "%s%s", mount.point, strcmp(below, "/") == 0 ? "" : below);
  return length > 0 && static_cast<size_t>(length) < size;
}

// Whether the server may make groups in a folder: one is made and removed.
bool MayMakeGroups(const char *folder, int *error) {
  char probe[PLAT_MAX_PATH], name[64];
  snprintf(name, sizeof name, "tarveld-%d-probe", static_cast<int>(getpid()));
  if (!PathOf(probe, sizeof probe, folder, name) ||
      (SysGroupCreate(probe, 0755) != 0 && errno != EEXIST)) {
    *error = errno;
    return false;
  }
  rmdir(probe);
  return true;
}

bool ListsController(const char *file, const char *controller) {
  char text[512];
  if (!ReadSmallFile(file, text, sizeof text)) return false;
  for (char *word = strtok(text, " \n"); word; word = strtok(nullptr, " \n"))
    if (strcmp(word, controller) == 0) return true;
  return false;
}

// Enables the controllers the caps need for the groups below the server's
// cgroup2 group. A group with processes of its own cannot pass controllers
// on, so the server first moves itself into a group of its own beside the
// runs' (the root group is exempt). Only where the host gives them.
void EnableUnifiedControllers(const char *folder, int checkOnly) {
  char controllers[PLAT_MAX_PATH], subtree[PLAT_MAX_PATH];
  PathOf(controllers, sizeof controllers, folder, "cgroup.controllers");
  PathOf(subtree, sizeof subtree, folder, "cgroup.subtree_control");
  bool wantPids = Caps.processes > 0 && ListsController(controllers, "pids");
  bool wantMemory = Caps.memoryBytes > 0 && ListsController(controllers, "memory");
  if (!wantPids && !wantMemory) return;
  if (checkOnly) {  // what a start would enable
    Found.unifiedPids = wantPids;
    Found.unifiedMemory = wantMemory;
    return;
  }
  char own[PLAT_MAX_PATH];
  if (OwnGroup("", own, sizeof own) && strcmp(own, "/") != 0) {
    char server[PLAT_MAX_PATH], procs[PLAT_MAX_PATH], pid[32];
    PathOf(server, sizeof server, folder, "tarveld-server");
    PathOf(procs, sizeof procs, server, "cgroup.procs");
    snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    if ((mkdir(server, 0755) != 0 && errno != EEXIST) || !WriteSmallFile(procs, pid)) return;
  }
  if (wantPids && WriteSmallFile(subtree, "+pids")) Found.unifiedPids = true;
  if (wantMemory && WriteSmallFile(subtree, "+memory")) Found.unifiedMemory = true;
}

void Describe(PlatContainment *found) {
  int used = snprintf(found->description, sizeof found->description,
                      "control groups (cgroup2 %s", Found.unified);
  if (Found.pids[0] && used > 0 && static_cast<size_t>(used) < sizeof found->description)
    used += snprintf(found->description + used, sizeof found->description - used, ", pids %s",
                     Found.pids);
  if (Found.memory[0] && used > 0 && static_cast<size_t>(used) < sizeof found->description)
    used += snprintf(found->description + used, sizeof found->description - used, ", memory %s",
                     Found.memory);
  if (used > 0 && static_cast<size_t>(used) < sizeof found->description)
    snprintf(found->description + used, sizeof found->description - used, ")");
}

// ------------------------------------------------ one run's groups

int64_t ReadCounter(const char *folder, const char *file, const char *name) {
  char path[PLAT_MAX_PATH], text[2048];
  PathOf(path, sizeof path, folder, file);
  if (!ReadSmallFile(path, text, sizeof text)) return -1;
  size_t length = strlen(name);
  for (char *line = text; line && *line;) {
    if (strncmp(line, name, length) == 0 && line[length] == ' ')
      return strtoll(line + length + 1, nullptr, 10);
    line = strchr(line, '\n');
    if (line) ++line;
  }
  return -1;
}

bool WriteLimit(const char *folder, const char *file, long long value) {
  char path[PLAT_MAX_PATH], text[32];
  PathOf(path, sizeof path, folder, file);
  snprintf(text, sizeof text, "%lld", value);
  return WriteSmallFile(path, text);
}

// Makes one group of the run and opens its cgroup.procs for the program.
bool MakeGroup(const char *base, const char *name, char *folder, size_t size, int *procs) {
  if (!PathOf(folder, size, base, name) || SysGroupCreate(folder, 0755) != 0) {
    folder[0] = '\0';
    return false;
  }
  char path[PLAT_MAX_PATH];
  PathOf(path, sizeof path, folder, "cgroup.procs");
  *procs = open(path, O_WRONLY | O_CLOEXEC);
  return *procs >= 0;
}

// The caps of a run written into its groups.
bool WriteCaps(PlatContainerRec *rec) {
  bool ok = true;
  if (Caps.processes > 0) {
    const char *folder = Found.unifiedPids ? rec->unified : rec->pids;
    if (folder[0]) ok = ok && WriteLimit(folder, "pids.max", Caps.processes);
  }
  if (Caps.memoryBytes > 0 && Found.unifiedMemory) {
    ok = ok && WriteLimit(rec->unified, "memory.max", Caps.memoryBytes);
    WriteLimit(rec->unified, "memory.swap.max", 0);  // where swap is accounted
  } else if (Caps.memoryBytes > 0 && rec->memory[0]) {
    ok = ok && WriteLimit(rec->memory, "memory.limit_in_bytes", Caps.memoryBytes);
    WriteLimit(rec->memory, "memory.memsw.limit_in_bytes", Caps.memoryBytes);
  }
  return ok;
}

// Kills every process of a v1 group, one by one, until none is left.
void KillListed(const char *folder) {
  char path[PLAT_MAX_PATH];
  PathOf(path, sizeof path, folder, "cgroup.procs");
  for (int round = 0; round < 100; ++round) {
    FILE *file = fopen(path, "re");
    if (!file) return;
    int pid = 0, killed = 0;
    while (fscanf(file, "%d", &pid) == 1) {
      kill(pid, SIGKILL);
      ++killed;
    }
    fclose(file);
    if (killed == 0) return;
    PlatSleep(5);
  }
}

// Waits until the cgroup2 group holds no process (cgroup.events says so,
// and tells of each change); false when some are still there in the end.
bool WaitUntilEmpty(const char *folder) {
  char path[PLAT_MAX_PATH];
  PathOf(path, sizeof path, folder, "cgroup.events");
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint64_t deadline = PlatMonotonicMsec() + EMPTY_WAIT_MSEC;
  bool empty = false;
  for (;;) {
    char text[256];
    ssize_t length = pread(fd, text, sizeof text - 1, 0);
    if (length < 0) break;
    text[length] = '\0';
    if (strstr(text, "populated 0")) {
      empty = true;
      break;
    }
    uint64_t now = PlatMonotonicMsec();
    if (now >= deadline) break;
    struct pollfd watch = {fd, POLLPRI, 0};
    poll(&watch, 1, static_cast<int>(deadline - now));
  }
  close(fd);
  return empty;
}

// The groups of a server that was killed outright stay behind, empty (a
// group ends with its last process, and nobody removes it): a start removes
// those of servers that no longer run. A group that still holds a process
// cannot be removed, so nothing running is touched.
void RemoveStaleGroups(const char *base) {
  DIR *entries = opendir(base);
  if (!entries) return;
  while (const dirent *entry = readdir(entries)) {
    int server = 0;
    char rest = '\0';
    if (sscanf(entry->d_name, "tarveld-%d-%c", &server, &rest) != 2 || server <= 0) continue;
    if (server == getpid() || kill(server, 0) == 0 || errno != ESRCH) continue;
    char folder[PLAT_MAX_PATH];
    if (PathOf(folder, sizeof folder, base, entry->d_name)) rmdir(folder);
  }
  closedir(entries);
}

}  // namespace

// ------------------------------------------------ the platform calls

int PlatContainmentInit(const PlatCaps *caps, PlatContainment *found, int checkOnly) {
  memset(found, 0, sizeof *found);
  memset(&Found, 0, sizeof Found);
  Caps = *caps;
  Mount unified, pids, memory;
  ReadMounts(&unified, &pids, &memory);
  int error = SHARED_CHILD ? ENOENT : ENOTSUP;
  char folder[PLAT_MAX_PATH];
  if (SHARED_CHILD && GroupFolder(unified, "", folder, sizeof folder) &&
      MayMakeGroups(folder, &error)) {
    snprintf(Found.unified, sizeof Found.unified, "%s", folder);
    EnableUnifiedControllers(folder, checkOnly);
    if (Caps.processes > 0 && !Found.unifiedPids && GroupFolder(pids, "pids", folder, sizeof folder) &&
        MayMakeGroups(folder, &error))
      snprintf(Found.pids, sizeof Found.pids, "%s", folder);
    if (Caps.memoryBytes > 0 && !Found.unifiedMemory &&
        GroupFolder(memory, "memory", folder, sizeof folder) && MayMakeGroups(folder, &error))
      snprintf(Found.memory, sizeof Found.memory, "%s", folder);
    found->groups = 1;
    Describe(found);
    if (!checkOnly)
      for (const char *base : {Found.unified, Found.pids, Found.memory})
        if (base[0]) RemoveStaleGroups(base);
    if (Caps.processes > 0 && !Found.unifiedPids && !Found.pids[0])
      snprintf(found->unenforced, sizeof found->unenforced, "cgi-process-limit");
    snprintf(found->reason, sizeof found->reason, "%s", NO_CONTROLLER);
    return 0;
  }
  snprintf(found->description, sizeof found->description,
           "process groups (no control group can be made: errno=%d)", error);
  if (Caps.processes > 0) snprintf(found->unenforced, sizeof found->unenforced, "cgi-process-limit");
  snprintf(found->reason, sizeof found->reason, "%s", NO_CONTROLLER);
  return 0;
}

PlatContainer PlatContainerCreate() {
  PlatContainerRec *rec = static_cast<PlatContainerRec *>(calloc(1, sizeof *rec));
  if (!rec) {
    errno = ENOMEM;
    return nullptr;
  }
  for (int &fd : rec->procs) fd = -1;
  rec->unifiedFolder = -1;
  // Per-process limits need the same child as groups do.
  rec->memoryLimit = SHARED_CHILD ? Caps.memoryBytes : 0;
  rec->cpuLimitMsec = SHARED_CHILD ? Caps.cpuMsec : 0;
  if (!Found.unified[0]) return rec;  // process groups and resource limits only
  char name[64];
  snprintf(name, sizeof name, "tarveld-%d-%u", static_cast<int>(getpid()), NextRun.fetch_add(1));
  bool made = MakeGroup(Found.unified, name, rec->unified, sizeof rec->unified, &rec->procs[0]);
  if (made) {
    rec->unifiedFolder = open(rec->unified, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    made = rec->unifiedFolder >= 0;
  }
  if (made && Found.pids[0])
    made = MakeGroup(Found.pids, name, rec->pids, sizeof rec->pids, &rec->procs[1]);
  if (made && Found.memory[0])
    made = MakeGroup(Found.memory, name, rec->memory, sizeof rec->memory, &rec->procs[2]);
  if (!made || !WriteCaps(rec)) {
    int error = errno;
    PlatContainerClose(rec);
    errno = error;
    return nullptr;
  }
  return rec;
}

int PlatContainerCapHit(PlatContainer container, PlatProcess program) {
  if (!container) return PLAT_CAP_NONE;
  if (!container->unified[0]) {
    // Without groups only the CPU limit of the program itself tells: the
    // system ends it with SIGXCPU.
    uint32_t code = 0;
    if (Caps.cpuMsec > 0 && program && PlatProcessExitCode(program, &code) == 0 &&
        code == 128u + SIGXCPU)
      return PLAT_CAP_CPU;
    return PLAT_CAP_NONE;
  }
  if (Caps.memoryBytes > 0) {
    int64_t kills = Found.unifiedMemory ? ReadCounter(container->unified, "memory.events", "oom_kill")
                                        : ReadCounter(container->memory, "memory.oom_control", "oom_kill");
    if (kills > 0) return PLAT_CAP_MEMORY;
  }
  if (Caps.processes > 0) {
    const char *folder = Found.unifiedPids ? container->unified : container->pids;
    if (folder[0] && ReadCounter(folder, "pids.events", "max") > 0) return PLAT_CAP_PROCESSES;
  }
  if (Caps.cpuMsec > 0) {
    int64_t used = ReadCounter(container->unified, "cpu.stat", "usage_usec");
    if (used >= 0 && used / 1000 > Caps.cpuMsec) return PLAT_CAP_CPU;
  }
  return PLAT_CAP_NONE;
}

int PlatContainerEnd(PlatContainer container) {
  if (!container || !container->unified[0]) return 0;
  char kill[PLAT_MAX_PATH];
  PathOf(kill, sizeof kill, container->unified, "cgroup.kill");
  if (!WriteSmallFile(kill, "1")) {
    // A kernel without cgroup.kill: every listed process, one by one.
    KillListed(container->unified);
  }
  if (container->pids[0]) KillListed(container->pids);
  if (container->memory[0]) KillListed(container->memory);
  return WaitUntilEmpty(container->unified) ? 0 : -1;
}

void PlatContainerClose(PlatContainer container) {
  if (!container) return;
  for (int fd : container->procs)
    if (fd >= 0) close(fd);
  if (container->unifiedFolder >= 0) close(container->unifiedFolder);
  // Removed once empty; a group still in use stays (and is logged by the
  // caller's failed end).
  if (container->memory[0]) rmdir(container->memory);
  if (container->pids[0]) rmdir(container->pids);
  if (container->unified[0]) rmdir(container->unified);
  free(container);
}

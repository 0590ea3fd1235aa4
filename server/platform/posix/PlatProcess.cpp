// POSIX backend of pipes and child processes.
//
// Every descriptor the server opens is close-on-exec, and a child's
// descriptors above standard error are closed at its start as well (the
// server may have inherited some from its own parent): a child receives its
// own two pipe ends as standard input and output and nothing else.
//
// Every child starts as the leader of a process group of its own, so that
// ending a run can also reach descendants whose parent has already ended.
//
// No child is ever left a zombie. A run's child is reaped when its owner
// closes it (the exit-code query only looks, so the child's number, and with
// it the number of its group, cannot be reused while the run lasts) or, when
// the run closes it while it still runs, by the reaper thread. Once the
// server adopts orphans (PlatOrphanReaperStart) the reaper also reaps every
// other child that no run owns: killed descendants and other orphans handed
// to the server. No reaping may take the exit status
// that a run still polls for, so waitpid(-1) is never used; the owned pids
// are registered before the reaper can look at the children again.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PlatContainRec.h"
#include "PlatProcessRec.h"
#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

const uint32_t REAPER_CYCLE_MSEC = 200;
const int REAP_BATCH = 256;  // zombies reaped per cycle at most
const size_t REAPER_STACK_SIZE = 64 * 1024;

// A child that was closed while it still ran; the reaper waits for it.
struct HandedOver {
  pid_t pid;
  HandedOver *next;
};

pthread_mutex_t RegistryMutex = PTHREAD_MUTEX_INITIALIZER;
// Spawns hold this lock shared from the spawn until their child is
// registered; the reaper holds it exclusively for each of its cycles, so it
// never finds a child between the two. Spawns thus run side by side (each
// one holds its thread until the child has started the program). Writers
// first: a steady stream of spawns must not keep the reaper out.
pthread_rwlock_t SpawnLock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
PlatProcessRec *OwnedChildren = nullptr;
HandedOver *HandedChildren = nullptr;
bool AdoptingOrphans = false;
pthread_once_t ReaperOnce = PTHREAD_ONCE_INIT;
int ReaperStartError = 0;

// ------------------------------------------------ registry (lock held)

bool IsOwned(pid_t pid) {
  for (const PlatProcessRec *rec = OwnedChildren; rec; rec = rec->next)
    if (rec->pid == pid) return true;
  return false;
}

void Unregister(PlatProcessRec *process) {
  for (PlatProcessRec **link = &OwnedChildren; *link; link = &(*link)->next) {
    if (*link != process) continue;
    *link = process->next;
    return;
  }
}

void ForgetHandedOver(pid_t pid) {
  for (HandedOver **link = &HandedChildren; *link; link = &(*link)->next) {
    HandedOver *entry = *link;
    if (entry->pid != pid) continue;
    *link = entry->next;
    free(entry);
    return;
  }
}

void HandOver(pid_t pid) {
  HandedOver *entry = static_cast<HandedOver *>(malloc(sizeof *entry));
  if (!entry) return;  // an adopting server's reaper still finds it
  entry->pid = pid;
  entry->next = HandedChildren;
  HandedChildren = entry;
}

// Reaps a child that no run owns, if it has ended.
void ReapIfUnowned(pid_t pid) {
  if (IsOwned(pid)) return;
  pid_t reaped = waitpid(pid, nullptr, WNOHANG);
  if (reaped == pid || (reaped < 0 && errno == ECHILD)) ForgetHandedOver(pid);
}

// ------------------------------------------------ reaper thread

void ReapHandedOver() {
  pthread_mutex_lock(&RegistryMutex);
  for (HandedOver **link = &HandedChildren; *link;) {
    HandedOver *entry = *link;
    pid_t reaped = waitpid(entry->pid, nullptr, WNOHANG);
    if (reaped == entry->pid || (reaped < 0 && errno == ECHILD)) {
      *link = entry->next;
      free(entry);
    } else {
      link = &entry->next;
    }
  }
  pthread_mutex_unlock(&RegistryMutex);
}

// Every child of every thread of the server, as the kernel lists them.
void ReapUnownedChildren() {
  DIR *tasks = opendir("/proc/self/task");
  if (!tasks) return;
  while (dirent *task = readdir(tasks)) {
    if (task->d_name[0] == '.') continue;
    char path[300];
    snprintf(path, sizeof path, "/proc/self/task/%s/children", task->d_name);
    FILE *children = fopen(path, "re");
    if (!children) continue;
    int pid = 0;
    while (fscanf(children, "%d", &pid) == 1) {
      pthread_mutex_lock(&RegistryMutex);
      ReapIfUnowned(pid);
      pthread_mutex_unlock(&RegistryMutex);
    }
    fclose(children);
  }
  closedir(tasks);
}

// Ended children are found without taking their status (WNOWAIT); one that
// no run owns is then reaped. An owned one that has ended waits for its run
// and hides the others from this query, so they are looked up one by one.
void ReapOrphans() {
  for (int round = 0; round < REAP_BATCH; ++round) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) return;
    pthread_mutex_lock(&RegistryMutex);
    bool owned = IsOwned(info.si_pid);
    if (!owned) ReapIfUnowned(info.si_pid);
    pthread_mutex_unlock(&RegistryMutex);
    if (owned) {
      ReapUnownedChildren();
      return;
    }
  }
}

void *ReaperMain(void *) {
  for (;;) {
    PlatSleep(REAPER_CYCLE_MSEC);
    pthread_rwlock_wrlock(&SpawnLock);
    ReapHandedOver();
    pthread_mutex_lock(&RegistryMutex);
    bool adopting = AdoptingOrphans;
    pthread_mutex_unlock(&RegistryMutex);
    if (adopting) ReapOrphans();
    pthread_rwlock_unlock(&SpawnLock);
  }
  return nullptr;
}

// The reaper takes no signal: the console signals belong to the server's
// own receiving thread, whenever the reaper was started.
void StartReaperThread() {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, REAPER_STACK_SIZE);
  pthread_t thread;
  ReaperStartError = pthread_create(&thread, &attr, ReaperMain, nullptr);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

int StartReaper() {
  pthread_once(&ReaperOnce, StartReaperThread);
  if (ReaperStartError == 0) return 0;
  errno = ReaperStartError;
  return -1;
}

// ------------------------------------------------ process creation

// Splits text at blanks into argv; double quotes group blanks into one
// argument and are removed. The arguments are written to storage, which
// needs strlen(text) + 1 bytes. Returns the count.
int SplitArguments(const char *text, char *storage, char **argv) {
  int count = 0;
  const char *at = text;
  for (;;) {
    while (*at == ' ' || *at == '\t') ++at;
    if (!*at) return count;
    argv[count++] = storage;
    bool quoted = false;
    for (; *at && (quoted || (*at != ' ' && *at != '\t')); ++at) {
      if (*at == '"') {
        quoted = !quoted;
      } else {
        *storage++ = *at;
      }
    }
    *storage++ = '\0';
  }
}

struct SpawnVectors {
  char **argv;
  char *storage;  // the split arguments
  char **envp;
};

void FreeVectors(SpawnVectors *vectors) {
  free(vectors->argv);
  free(vectors->storage);
  free(vectors->envp);
}

// argv: the program, the split arguments, and the script path (if any) as
// one element whatever it holds. envp: the strings of the environment block.
int BuildVectors(const PlatProcessStart *start, SpawnVectors *vectors) {
  size_t length = strlen(start->arguments);
  size_t strings = 0;
  for (const char *at = start->environment; *at; at += strlen(at) + 1) ++strings;
  vectors->argv = static_cast<char **>(malloc((length + 4) * sizeof(char *)));
  vectors->storage = static_cast<char *>(malloc(length + 1));
  vectors->envp = static_cast<char **>(malloc((strings + 1) * sizeof(char *)));
  if (!vectors->argv || !vectors->storage || !vectors->envp) {
    FreeVectors(vectors);
    errno = ENOMEM;
    return -1;
  }
  int count = 0;
  vectors->argv[count++] = const_cast<char *>(start->program);
  count += SplitArguments(start->arguments, vectors->storage, vectors->argv + count);
  if (start->scriptPath) vectors->argv[count++] = const_cast<char *>(start->scriptPath);
  vectors->argv[count] = nullptr;

  size_t index = 0;
  for (const char *at = start->environment; *at; at += strlen(at) + 1)
    vectors->envp[index++] = const_cast<char *>(at);
  vectors->envp[index] = nullptr;
  return 0;
}

// A pipe end that is itself 0, 1 or 2 would be overwritten by the child's
// own dup2 calls; such an end is first copied above them.
int AboveStandard(int fd, int *copy) {
  *copy = -1;
  if (fd > 2) return fd;
  *copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  return *copy;
}

// Standard input, output and error from the pipe ends (dup2 clears
// close-on-exec on the child's 0, 1 and 2 only), standard error to
// /dev/null without a pipe, nothing above; the child's folder.
int SetupFileActions(posix_spawn_file_actions_t *actions, const ChildDescriptors *fds) {
  if (posix_spawn_file_actions_init(actions) != 0) return -1;
  int rc = posix_spawn_file_actions_adddup2(actions, fds->in, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(actions, fds->out, 1);
  if (rc == 0) {
    rc = fds->err >= 0 ? posix_spawn_file_actions_adddup2(actions, fds->err, 2)
                       : posix_spawn_file_actions_addopen(actions, 2, "/dev/null", O_WRONLY, 0);
  }
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(actions, 3);
  if (rc == 0 && fds->directory) rc = posix_spawn_file_actions_addchdir_np(actions, fds->directory);
  if (rc != 0) {
    posix_spawn_file_actions_destroy(actions);
    return -1;
  }
  return 0;
}

// The server blocks its console signals in every thread and ignores
// SIGPIPE (and may have been started with SIGCHLD ignored); the child starts
// with no signal blocked and these at default, as the leader of a new
// process group.
int SetupAttributes(posix_spawnattr_t *attr) {
  if (posix_spawnattr_init(attr) != 0) return -1;
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  const int signals[] = {SIGPIPE, SIGCHLD, SIGINT, SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2, SIGTERM};
  for (int sig : signals) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(attr, &none);
  posix_spawnattr_setsigdefault(attr, &defaults);
  posix_spawnattr_setpgroup(attr, 0);
  struct sched_param normal = {};
  posix_spawnattr_setschedpolicy(attr, SCHED_OTHER);
  posix_spawnattr_setschedparam(attr, &normal);
  posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                     POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSCHEDULER);
  return 0;
}

// Starts the child and registers it within one shared hold of the spawn
// lock, so that the reaper can never take it for an orphan.
// Whether the program must join groups or take limits before it runs.
bool NeedsContainedStart(PlatContainer container) {
  return container && (container->unified[0] || container->memoryLimit > 0 ||
                       container->cpuLimitMsec > 0);
}

int Spawn(pid_t *pid, const char *program, const ChildDescriptors *fds, const SpawnVectors *vectors,
          PlatContainer container) {
  if (NeedsContainedStart(container))
    return PosixSpawnContained(program, vectors->argv, vectors->envp, fds, container, pid);
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (SetupFileActions(&actions, fds) != 0) return ENOMEM;
  if (SetupAttributes(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return ENOMEM;
  }
  int rc = posix_spawn(pid, program, &actions, &attr, vectors->argv, vectors->envp);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc;
}

int SpawnRegistered(PlatProcessRec *process, const char *program, const ChildDescriptors *fds,
                    const SpawnVectors *vectors, PlatContainer container) {
  pthread_rwlock_rdlock(&SpawnLock);
  int rc = Spawn(&process->pid, program, fds, vectors, container);
  if (rc == 0) {
    // The child is ours until it is reaped, so its number cannot name
    // another process here; where there are no process descriptors its end
    // is looked at by its exit status instead.
    process->pidfd = static_cast<int>(syscall(SYS_pidfd_open, process->pid, 0));
    pthread_mutex_lock(&RegistryMutex);
    ForgetHandedOver(process->pid);
    process->next = OwnedChildren;
    OwnedChildren = process;
    pthread_mutex_unlock(&RegistryMutex);
  }
  pthread_rwlock_unlock(&SpawnLock);
  return rc;
}

}  // namespace

// A server started with SIGCHLD ignored (a shell or supervisor may leave it
// so) would have its children reaped by the system: the look at a run's end
// would fail, and every program would inherit the ignored signal. The
// signal gets its default handling back, and no signal stays blocked from
// the server's start (the console signals are blocked again, on purpose,
// once their handler is set).
static void TakeSignalsBack() {
  struct sigaction standard;
  memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  pthread_sigmask(SIG_SETMASK, &none, nullptr);
}

int PlatOrphanReaperStart(const char **failedCall) {
  TakeSignalsBack();
  if (prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
    *failedCall = "prctl";
    return -1;
  }
  pthread_mutex_lock(&RegistryMutex);
  AdoptingOrphans = true;
  pthread_mutex_unlock(&RegistryMutex);
  if (StartReaper() == 0) return 0;
  *failedCall = "pthread_create";
  return -1;
}

int PosixDuplicate(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 0); }

int PosixPipeWaiting(int fd, int *count) { return ioctl(fd, FIONREAD, count); }

// Pipes are close-on-exec: a child receives its ends through the spawn's
// dup2 only. The system's pipe size is kept.
int PlatPipeCreate(PlatHandle *readEnd, PlatHandle *writeEnd) {
  int fds[2];
  if (SysPipe2(fds, O_CLOEXEC) != 0) return -1;
  *readEnd = fds[0];
  *writeEnd = fds[1];
  return 0;
}

int PlatHandleDuplicate(PlatHandle handle, PlatHandle *duplicate) {
  int fd = SysDuplicate(static_cast<int>(handle));
  if (fd < 0) return -1;
  *duplicate = fd;
  return 0;
}

int PlatHandleClose(PlatHandle handle) {
  if (handle == PLAT_INVALID_HANDLE) return 0;
  return close(static_cast<int>(handle)) == 0 ? 0 : -1;
}

int PlatHandleSetNonBlocking(PlatHandle handle) {
  int fd = static_cast<int>(handle);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int PlatPipePeek(PlatHandle handle, uint32_t cap, uint32_t *available) {
  int waiting = 0;
  if (SysPipeWaiting(static_cast<int>(handle), &waiting) != 0) return -1;
  uint32_t count = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
  *available = count < cap ? count : cap;
  return 0;
}

int PlatHandleRead(PlatHandle handle, void *buffer, uint32_t length, uint32_t *done) {
  ssize_t count;
  do count = SysPipeRead(static_cast<int>(handle), buffer, length);
  while (count < 0 && errno == EINTR);
  if (count < 0) return -1;
  *done = static_cast<uint32_t>(count);
  return 0;
}

// A full non-blocking pipe takes 0 bytes; that is no failure.
int PlatHandleWrite(PlatHandle handle, const void *buffer, uint32_t length, uint32_t *done) {
  ssize_t count;
  do count = write(static_cast<int>(handle), buffer, length); while (count < 0 && errno == EINTR);
  if (count < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    count = 0;
  }
  *done = static_cast<uint32_t>(count);
  return 0;
}

int PlatProcessCreate(const PlatProcessStart *start, PlatProcessInfo *info) {
  SpawnVectors vectors;
  if (BuildVectors(start, &vectors) != 0) return -1;
  PlatProcessRec *process = static_cast<PlatProcessRec *>(calloc(1, sizeof *process));
  int inCopy = -1, outCopy = -1, errCopy = -1;
  ChildDescriptors fds;
  fds.in = AboveStandard(static_cast<int>(start->stdIn), &inCopy);
  fds.out = AboveStandard(static_cast<int>(start->stdOut), &outCopy);
  fds.err = start->stdErr == PLAT_INVALID_HANDLE
                ? -1
                : AboveStandard(static_cast<int>(start->stdErr), &errCopy);
  fds.directory = start->directory;
  int rc = 0;
  if (!process) {
    rc = ENOMEM;
  } else if (fds.in < 0 || fds.out < 0 || (start->stdErr != PLAT_INVALID_HANDLE && fds.err < 0)) {
    rc = errno;
  } else {
    process->owned = 1;
    process->pidfd = -1;
    rc = SpawnRegistered(process, start->program, &fds, &vectors, start->container);
  }
  if (inCopy >= 0) close(inCopy);
  if (outCopy >= 0) close(outCopy);
  if (errCopy >= 0) close(errCopy);
  FreeVectors(&vectors);
  if (rc != 0) {
    free(process);
    errno = rc;
    return -1;
  }
  info->process = process;
  info->processId = static_cast<uint32_t>(process->pid);
  return 0;
}

// The owner's query. It takes the status without reaping the child: the
// zombie keeps the child's number, and the number of its process group,
// from being reused until PlatProcessClose reaps it.
int PlatProcessExitCode(PlatProcess process, uint32_t *code) {
  if (!process->exited) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int rc;
    do rc = SysWaitid(P_PID, static_cast<id_t>(process->pid), &info, WEXITED | WNOHANG | WNOWAIT);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) return -1;
    if (info.si_pid == 0) return PLAT_PROCESS_RUNNING;
    process->exited = 1;
    process->exitCode = info.si_code == CLD_EXITED ? static_cast<uint32_t>(info.si_status)
                                                   : 128u + static_cast<uint32_t>(info.si_status);
  }
  *code = process->exitCode;
  return 0;
}

// An owned child is reaped here, the only reaping of an owned child; one
// that still runs is handed to the reaper. A record opened for termination
// is only released.
int PlatProcessClose(PlatProcess process) {
  if (!process) return 0;
  if (process->pidfd >= 0) close(process->pidfd);
  if (process->owned && process->reaped) {
    pthread_mutex_lock(&RegistryMutex);
    Unregister(process);
    pthread_mutex_unlock(&RegistryMutex);
  } else if (process->owned) {
    bool handedOver = false;
    pthread_mutex_lock(&RegistryMutex);
    Unregister(process);
    if (waitpid(process->pid, nullptr, WNOHANG) == 0) {
      HandOver(process->pid);
      handedOver = true;
    }
    pthread_mutex_unlock(&RegistryMutex);
    if (handedOver) StartReaper();
  }
  free(process);
  return 0;
}

// The group's number is the child's own, still held by the child or its
// zombie: it cannot name another group. ESRCH: nobody is left.
int PlatProcessGroupTerminate(PlatProcess process) {
  if (!process->owned) {
    errno = EINVAL;
    return -1;
  }
  if (kill(-process->pid, SIGKILL) == 0 || errno == ESRCH) return 0;
  return -1;
}

// ------------------------------------------------ streams and waits

struct PlatStreamRec {
  int fd;
};

int PlatStreamPipe(int direction, PlatStream *stream, PlatHandle *programEnd) {
  PlatStreamRec *rec = static_cast<PlatStreamRec *>(malloc(sizeof *rec));
  if (!rec) {
    errno = ENOMEM;
    return -1;
  }
  int fds[2];
  if (SysPipe2(fds, O_CLOEXEC) != 0) {
    free(rec);
    return -1;
  }
  int server = direction == PLAT_STREAM_READ ? fds[0] : fds[1];
  int program = direction == PLAT_STREAM_READ ? fds[1] : fds[0];
  int flags = fcntl(server, F_GETFL);
  if (flags < 0 || fcntl(server, F_SETFL, flags | O_NONBLOCK) != 0) {
    int error = errno;
    close(fds[0]);
    close(fds[1]);
    free(rec);
    errno = error;
    return -1;
  }
  rec->fd = server;
  *stream = rec;
  *programEnd = program;
  return 0;
}

int PlatStreamRead(PlatStream stream, void *buffer, uint32_t length, uint32_t *done) {
  ssize_t count;
  do count = SysPipeRead(stream->fd, buffer, length);
  while (count < 0 && errno == EINTR);
  if (count < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? PLAT_STREAM_EMPTY : -1;
  *done = static_cast<uint32_t>(count);
  return 0;
}

int PlatStreamWrite(PlatStream stream, const void *buffer, uint32_t length, uint32_t *done) {
  uint32_t written = 0;
  if (PlatHandleWrite(stream->fd, buffer, length, &written) != 0) return -1;
  *done = written;
  return 0;
}

void PlatStreamClose(PlatStream stream) {
  if (!stream) return;
  close(stream->fd);
  free(stream);
}

namespace {

// Whether a process whose end no descriptor reports has ended, without
// taking its status.
bool EndedByStatus(PlatProcess process) {
  uint32_t code = 0;
  return PlatProcessExitCode(process, &code) == 0;
}

// Without a process descriptor the end is looked for this often.
const int32_t END_LOOK_MSEC = 10;

}  // namespace

int PlatProcessWait(const PlatWaitSet *set, int32_t milliseconds) {
  struct pollfd watch[4];
  int flags[4];
  nfds_t count = 0;
  auto add = [&](int fd, short events, int flag) {
    watch[count].fd = fd;
    watch[count].events = events;
    watch[count].revents = 0;
    flags[count++] = flag;
  };
  if (set->out) add(set->out->fd, POLLIN, PLAT_READY_OUT);
  if (set->err) add(set->err->fd, POLLIN, PLAT_READY_ERR);
  if (set->in) add(set->in->fd, POLLOUT, PLAT_READY_IN);
  PlatProcess process = set->process;
  if (process && process->exited) return PLAT_READY_ENDED;
  bool byStatus = process && process->pidfd < 0;
  if (process && !byStatus) add(process->pidfd, POLLIN, PLAT_READY_ENDED);
  if (milliseconds < 0) milliseconds = 0;
  if (byStatus && milliseconds > END_LOOK_MSEC) milliseconds = END_LOOK_MSEC;
  int ready;
  do ready = poll(watch, count, milliseconds);
  while (ready < 0 && errno == EINTR);
  if (ready < 0) return -1;
  int result = 0;
  for (nfds_t i = 0; i < count; ++i)
    if (watch[i].revents != 0) result |= flags[i];
  if (byStatus && EndedByStatus(process)) result |= PLAT_READY_ENDED;
  return result;
}

int PlatProcessFinish(PlatProcess process, int32_t milliseconds, PlatProcessOutcome *outcome) {
  memset(outcome, 0, sizeof *outcome);
  if (!process->owned || process->reaped) {
    errno = EINVAL;
    return -1;
  }
  // A process ended from outside is gone a moment later; one that is not
  // is no one to wait for.
  uint64_t deadline = PlatMonotonicMsec() + static_cast<uint64_t>(milliseconds > 0 ? milliseconds : 0);
  while (!EndedByStatus(process)) {
    uint64_t now = PlatMonotonicMsec();
    if (now >= deadline) {
      errno = EAGAIN;
      return -1;
    }
    PlatWaitSet set = {nullptr, nullptr, nullptr, process};
    PlatProcessWait(&set, static_cast<int32_t>(deadline - now));
  }
  int status = 0;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  pid_t reaped;
  do reaped = wait4(process->pid, &status, 0, &usage);
  while (reaped < 0 && errno == EINTR);
  if (reaped != process->pid) return -1;
  process->reaped = 1;
  outcome->ended = 1;
  if (WIFSIGNALED(status)) {
    outcome->signal = WTERMSIG(status);
  } else {
    outcome->exitCode = static_cast<uint32_t>(WEXITSTATUS(status));
  }
  outcome->cpuMsec = static_cast<uint64_t>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000u +
                     static_cast<uint64_t>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000u;
  outcome->peakKiB = static_cast<uint64_t>(usage.ru_maxrss);
  return 0;
}

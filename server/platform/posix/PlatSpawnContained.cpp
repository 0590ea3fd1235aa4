// Starting a program inside its run's containment. posix_spawn cannot run
// code of ours between the creation of the child and its program, and the
// child must join its control groups (and take its resource limits) before
// the program's first instruction: a program that forked at once would
// otherwise have children outside the groups. So the child is made here,
// with nothing but system calls made directly: no lock, no allocation, no
// library state touched. It is made as posix_spawn makes it, sharing the
// server's memory until it runs the program, on a stack of its own; the
// server's thread waits meanwhile. Where the system can, it is born into
// the run's cgroup2 group; else it joins the group first of all.
// (ThreadSanitizer builds never come here: see PlatContain.cpp.)
#include <linux/sched.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "PlatContainRec.h"
#include "PlatProcessRec.h"
#include "PlatSyscallTable.h"

namespace {

const size_t CHILD_STACK_SIZE = 64 * 1024;

// Everything the child needs, prepared by the server beforehand.
struct ChildPlan {
  const char *program;
  char *const *argv;
  char *const *envp;
  int in, out, err;        // err: /dev/null when the run has no error pipe
  const char *directory;   // null: the server's
  const int *procs;        // the groups' cgroup.procs, -1 for none
  int procsCount;
  struct rlimit memory;    // applied where limitMemory is set
  struct rlimit cpu;
  bool limitMemory;
  bool limitCpu;
  int report;              // the server reads why the program did not start
};

// The kernel's own form of sigaction, for a direct call.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

#define CHILD_CODE __attribute__((no_sanitize("address", "thread", "undefined")))

[[noreturn]] CHILD_CODE void ChildFails(const ChildPlan *plan, long error) {
  int code = static_cast<int>(error);
  syscall(SYS_write, plan->report, &code, sizeof code);
  syscall(SYS_exit_group, 127);
  __builtin_unreachable();
}

// A failed direct system call's error number (they return -1 and set errno,
// which is the server thread's: read at once).
CHILD_CODE long Check(const ChildPlan *plan, long result) {
  if (result < 0) ChildFails(plan, errno);
  return result;
}

// The child: joins the run's groups first of all, then takes the state
// posix_spawn would give it, and runs the program.
CHILD_CODE int ChildMain(void *argument) {
  const ChildPlan *plan = static_cast<const ChildPlan *>(argument);
  for (int i = 0; i < plan->procsCount; ++i)
    if (plan->procs[i] >= 0) Check(plan, syscall(SYS_write, plan->procs[i], "0", 1));
  KernelSigaction standard = {SIG_DFL, 0, nullptr, 0};
  const int signals[] = {SIGPIPE, SIGCHLD, SIGINT, SIGQUIT, SIGHUP, SIGUSR1, SIGUSR2, SIGTERM};
  for (int sig : signals) syscall(SYS_rt_sigaction, sig, &standard, nullptr, sizeof(unsigned long));
  unsigned long none = 0;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
  Check(plan, syscall(SYS_setpgid, 0, 0));
  if (plan->limitMemory) Check(plan, syscall(SYS_prlimit64, 0, RLIMIT_AS, &plan->memory, nullptr));
  if (plan->limitCpu) Check(plan, syscall(SYS_prlimit64, 0, RLIMIT_CPU, &plan->cpu, nullptr));
  struct sched_param normal = {};
  syscall(SYS_sched_setscheduler, 0, SCHED_OTHER, &normal);
  Check(plan, syscall(SYS_dup2, plan->in, 0));
  Check(plan, syscall(SYS_dup2, plan->out, 1));
  Check(plan, syscall(SYS_dup2, plan->err, 2));
  if (plan->directory) Check(plan, syscall(SYS_chdir, plan->directory));
  // Everything above standard error closes with the program's start; the
  // report pipe stays open until then.
  syscall(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC);
  syscall(SYS_execve, plan->program, plan->argv, plan->envp);
  ChildFails(plan, errno);
}

// The child born into the run's cgroup2 group, where the system can make it
// so: a process that joins a group later has the kernel wait for every
// thread of the system to pass a quiet point, some 10 ms when runs are
// rare. The plan's later joins are the v1 groups alone. -1 (errno set) when
// no child was made; the child itself never returns.
pid_t SpawnBornIntoGroup(PlatContainer container, ChildPlan plan, char *stack) {
  if (container->unifiedFolder < 0) {
    errno = ENOTSUP;
    return -1;
  }
  const int later[3] = {-1, container->procs[1], container->procs[2]};
  plan.procs = later;
  return SysCloneIntoGroup(container->unifiedFolder, stack, CHILD_STACK_SIZE, ChildMain, &plan);
}

// Per-process limits where the run has no groups to cap it.
void PlanLimits(PlatContainer container, ChildPlan *plan) {
  plan->limitMemory = !container->unified[0] && container->memoryLimit > 0;
  plan->limitCpu = !container->unified[0] && container->cpuLimitMsec > 0;
  rlim_t memory = static_cast<rlim_t>(container->memoryLimit);
  plan->memory = {memory, memory};
  // The soft limit ends the program with SIGXCPU, the hard one a second later.
  rlim_t seconds = static_cast<rlim_t>((container->cpuLimitMsec + 999) / 1000);
  plan->cpu = {seconds, seconds + 1};
}

}  // namespace

// clone3 itself, which glibc offers to nobody: the child starts on its own
// stack, where it cannot return from a function it never entered, so it
// calls child(argument) from here and ends with its result. The caller
// gets the child's id or the negated error number. Where this is not
// written for the processor, the call is missing (-ENOSYS), and the child
// joins its group instead.
extern "C" long TarveldClone3(struct clone_args *args, size_t size, int (*child)(void *),
                              void *argument);
#if defined(__x86_64__)
asm(".text\n"
    ".p2align 4\n"
    ".type TarveldClone3, @function\n"
    "TarveldClone3:\n"
    "  movq %rdx, %r8\n"   // the child's function and argument, kept in
    "  movq %rcx, %r9\n"   // registers that clone3 leaves as they are
    "  movl $435, %eax\n"  // SYS_clone3 (args, size)
    "  syscall\n"
    "  testq %rax, %rax\n"
    "  jnz 1f\n"
    "  xorl %ebp, %ebp\n"  // the child: no frame above this one
    "  movq %r9, %rdi\n"
    "  callq *%r8\n"
    "  movl %eax, %edi\n"
    "  movl $231, %eax\n"  // SYS_exit_group
    "  syscall\n"
    "  hlt\n"
    "1:\n"
    "  ret\n"
    ".size TarveldClone3, .-TarveldClone3\n");
#else
extern "C" long TarveldClone3(struct clone_args *, size_t, int (*)(void *), void *) {
  return -ENOSYS;
}
#endif

pid_t PosixCloneIntoGroup(int folder, char *stack, size_t stackSize, int (*child)(void *),
                          void *argument) {
  struct clone_args args;
  memset(&args, 0, sizeof args);
  args.flags = CLONE_VM | CLONE_VFORK | CLONE_INTO_CGROUP;
  args.exit_signal = SIGCHLD;
  args.stack = reinterpret_cast<uintptr_t>(stack);
  args.stack_size = stackSize;
  args.cgroup = static_cast<uint64_t>(folder);
  long result = TarveldClone3(&args, sizeof args, child, argument);
  if (result < 0) {
    errno = static_cast<int>(-result);
    return -1;
  }
  return static_cast<pid_t>(result);
}

int PosixSpawnContained(const char *program, char *const argv[], char *const envp[],
                        const ChildDescriptors *fds, PlatContainer container, pid_t *pid) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  int devnull = fds->err >= 0 ? -1 : open("/dev/null", O_WRONLY | O_CLOEXEC);
  char *stack = static_cast<char *>(malloc(CHILD_STACK_SIZE));
  if (!stack || (fds->err < 0 && devnull < 0)) {
    int error = stack ? errno : ENOMEM;
    free(stack);
    close(report[0]);
    close(report[1]);
    if (devnull >= 0) close(devnull);
    return error;
  }
  ChildPlan plan = {};
  plan.program = program;
  plan.argv = argv;
  plan.envp = envp;
  plan.in = fds->in;
  plan.out = fds->out;
  plan.err = fds->err >= 0 ? fds->err : devnull;
  plan.directory = fds->directory;
  plan.procs = container->procs;
  plan.procsCount = 3;
  plan.report = report[1];
  PlanLimits(container, &plan);
  // The server's thread waits until the child runs the program or fails. A
  // kernel that cannot give birth into a group (before 5.7) has the child
  // join it.
  pid_t child = SpawnBornIntoGroup(container, plan, stack);
  if (child < 0)
    child = clone(ChildMain, stack + CHILD_STACK_SIZE, CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
  int cloneError = errno;
  close(report[1]);
  if (devnull >= 0) close(devnull);
  free(stack);
  if (child < 0) {
    close(report[0]);
    return cloneError;
  }
  int error = 0;
  ssize_t got;
  do got = read(report[0], &error, sizeof error);
  while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == sizeof error) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return error;
  }
  *pid = child;
  return 0;
}

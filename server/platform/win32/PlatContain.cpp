// Win32 backend of CGI containment: a job object for every run.
//
// The program is created suspended and put into its run's job before its
// first instruction (PlatProcess.cpp); every process it starts is in the
// job too, and none may leave it (no breakaway is allowed). Ending a run
// terminates the job; the job is killed when its last handle closes, so
// that a server that is ended outright leaves no run behind either. The
// caps are the job's limits: committed memory of the whole job, active
// processes, and user time of the whole job.
//
// Which cap a run has hit: a refused commit and a refused process are told
// by the messages the job posts to its completion port (nothing counts
// them), which stay queued after the program has ended; the time limit by
// the job's user time, which the system compares with the limit itself and
// which keeps the time of ended processes. Where the system accepts a limit
// but does not keep it (the job reads back without it), the cap is reported
// as not enforced. Where no job can be made at all, runs are held by their
// process tree alone and no cap is enforced.
#include "PlatContainRec.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

const DWORD EMPTY_WAIT_MSEC = 2000;  // for the processes of an ended job to go
const DWORD MESSAGE_WAIT_MSEC = 20;  // a look at the job between its messages

PlatCaps Caps;
bool Jobs = false;  // whether every run gets a job

unsigned CapBit(int cap) { return 1u << cap; }

// The limits of a run's job: killed with its last handle, no breakaway,
// the caps.
JOBOBJECT_EXTENDED_LIMIT_INFORMATION Limits() {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  memset(&limits, 0, sizeof limits);
  DWORD flags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (Caps.memoryBytes > 0) {
    flags |= JOB_OBJECT_LIMIT_JOB_MEMORY;
    limits.JobMemoryLimit = static_cast<SIZE_T>(Caps.memoryBytes);
  }
  if (Caps.processes > 0) {
    flags |= JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
    limits.BasicLimitInformation.ActiveProcessLimit = static_cast<DWORD>(Caps.processes);
  }
  if (Caps.cpuMsec > 0) {
    flags |= JOB_OBJECT_LIMIT_JOB_TIME;
    limits.BasicLimitInformation.PerJobUserTimeLimit.QuadPart =
        static_cast<LONGLONG>(Caps.cpuMsec) * 10000;  // of 100 ns
  }
  limits.BasicLimitInformation.LimitFlags = flags;
  return limits;
}

void CloseJob(PlatContainerRec *rec) {
  if (rec->job) CloseHandle(rec->job);
  if (rec->port) CloseHandle(rec->port);
  rec->job = rec->port = nullptr;
}

// A job with its port and its limits, before any process is in it; false
// (the last error says why, nothing left open) when one cannot be made.
bool MakeJob(PlatContainerRec *rec) {
  rec->job = SysCreateJobObjectA(nullptr, nullptr);  // never inherited
  if (!rec->job) return false;
  rec->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association;
  association.CompletionKey = rec->job;
  association.CompletionPort = rec->port;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = Limits();
  if (!rec->port ||
      !SetInformationJobObject(rec->job, JobObjectAssociateCompletionPortInformation,
                               &association, sizeof association) ||
      !SetInformationJobObject(rec->job, JobObjectExtendedLimitInformation, &limits,
                               sizeof limits)) {
    DWORD error = GetLastError();
    CloseJob(rec);
    SetLastError(error);
    return false;
  }
  return true;
}

void AddKey(PlatContainment *found, const char *key) {
  size_t used = strlen(found->unenforced);
  snprintf(found->unenforced + used, sizeof found->unenforced - used, "%s%s", used ? ", " : "",
           key);
}

// The caps that a job made for a run reads back without: the system took
// them and does not keep them.
void FindUnkept(HANDLE job, PlatContainment *found) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION kept;
  memset(&kept, 0, sizeof kept);
  QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &kept, sizeof kept, nullptr);
  const JOBOBJECT_BASIC_LIMIT_INFORMATION &basic = kept.BasicLimitInformation;
  if (Caps.memoryBytes > 0 && (!(basic.LimitFlags & JOB_OBJECT_LIMIT_JOB_MEMORY) ||
                               kept.JobMemoryLimit != static_cast<SIZE_T>(Caps.memoryBytes)))
    AddKey(found, "cgi-memory-limit");
  if (Caps.processes > 0 &&
      (!(basic.LimitFlags & JOB_OBJECT_LIMIT_ACTIVE_PROCESS) ||
       basic.ActiveProcessLimit != static_cast<DWORD>(Caps.processes)))
    AddKey(found, "cgi-process-limit");
  if (Caps.cpuMsec > 0 && (!(basic.LimitFlags & JOB_OBJECT_LIMIT_JOB_TIME) ||
                           basic.PerJobUserTimeLimit.QuadPart !=
                               static_cast<LONGLONG>(Caps.cpuMsec) * 10000))
    AddKey(found, "cgi-cpu-limit");
  if (found->unenforced[0])
    snprintf(found->reason, sizeof found->reason,
             "the system's job objects take the limit but do not keep it");
}

// Takes the job's messages from its port, waiting up to milliseconds for
// the first, and keeps the caps they tell of.
void TakeMessages(PlatContainerRec *rec, DWORD milliseconds) {
  DWORD message = 0;
  ULONG_PTR key = 0;
  OVERLAPPED *detail = nullptr;
  while (GetQueuedCompletionStatus(rec->port, &message, &key, &detail, milliseconds)) {
    milliseconds = 0;
    if (message == JOB_OBJECT_MSG_JOB_MEMORY_LIMIT) rec->capsTold |= CapBit(PLAT_CAP_MEMORY);
    if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_LIMIT)
      rec->capsTold |= CapBit(PLAT_CAP_PROCESSES);
  }
}

}  // namespace

int PlatContainmentInit(const PlatCaps *caps, PlatContainment *found, int) {
  memset(found, 0, sizeof *found);
  Caps = *caps;
  // A job is made as a run's would be and closed again (nothing is in it).
  PlatContainerRec probe;
  probe.job = probe.port = nullptr;
  Jobs = MakeJob(&probe);
  if (Jobs) {
    found->groups = 1;
    snprintf(found->description, sizeof found->description, "job objects");
    FindUnkept(probe.job, found);
    CloseJob(&probe);
    return 0;
  }
  snprintf(found->description, sizeof found->description,
           "process trees (no job object can be made: error=%lu)", GetLastError());
  if (Caps.memoryBytes > 0) AddKey(found, "cgi-memory-limit");
  if (Caps.processes > 0) AddKey(found, "cgi-process-limit");
  if (Caps.cpuMsec > 0) AddKey(found, "cgi-cpu-limit");
  snprintf(found->reason, sizeof found->reason, "no job object can be made");
  return 0;
}

PlatContainer PlatContainerCreate() {
  PlatContainerRec *rec = new (std::nothrow) PlatContainerRec;
  if (!rec) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  rec->job = rec->port = nullptr;
  rec->capsTold = 0;
  if (Jobs && !MakeJob(rec)) {
    DWORD error = GetLastError();
    delete rec;
    SetLastError(error);
    return nullptr;
  }
  return rec;
}

int PlatContainerCapHit(PlatContainer container, PlatProcess) {
  if (!container || !container->job) return PLAT_CAP_NONE;
  TakeMessages(container, 0);
  unsigned told = container->capsTold;
  if (told & CapBit(PLAT_CAP_MEMORY)) return PLAT_CAP_MEMORY;
  if (told & CapBit(PLAT_CAP_PROCESSES)) return PLAT_CAP_PROCESSES;
  // The system ends every process of the job once its user time reaches
  // the limit.
  if (Caps.cpuMsec > 0) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION used;
    if (QueryInformationJobObject(container->job, JobObjectBasicAccountingInformation, &used,
                                  sizeof used, nullptr) &&
        used.TotalUserTime.QuadPart / 10000 >= Caps.cpuMsec)
      return PLAT_CAP_CPU;
  }
  return PLAT_CAP_NONE;
}

// Every process that ends posts a message: the wait for the job to empty
// takes them (keeping the caps they tell of) and looks at the job between
// them, as a message may not come.
int PlatContainerEnd(PlatContainer container) {
  if (!container || !container->job) return 0;
  if (!TerminateJobObject(container->job, 0)) return -1;
  ULONGLONG deadline = GetTickCount64() + EMPTY_WAIT_MSEC;
  for (;;) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION used;
    if (!QueryInformationJobObject(container->job, JobObjectBasicAccountingInformation, &used,
                                   sizeof used, nullptr))
      return -1;
    if (used.ActiveProcesses == 0) return 0;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      SetLastError(WAIT_TIMEOUT);
      return -1;
    }
    ULONGLONG left = deadline - now;
    TakeMessages(container,
                 left < MESSAGE_WAIT_MSEC ? static_cast<DWORD>(left) : MESSAGE_WAIT_MSEC);
  }
}

// Closing the job kills whatever is still in it.
void PlatContainerClose(PlatContainer container) {
  if (!container) return;
  CloseJob(container);
  delete container;
}

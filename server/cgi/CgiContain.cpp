// Containment of CGI runs: the caps of the configuration, a container for
// every run (both interfaces), and the end of a run, which leaves nothing of
// it behind. Runs that are going are registered, so that a shutdown ends
// them too: a program left running by a shutdown would run without any of
// its limits.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cgi/CgiRun.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"

namespace {

CgiHold *Going = nullptr;  // the runs whose program has started
bool CapsSet = false;

PlatCaps ConfiguredCaps() {
  PlatCaps caps;
  caps.memoryBytes = ConfigTbl->cgi_memory_limit > 0 ? ConfigTbl->cgi_memory_limit : 0;
  caps.processes = ConfigTbl->cgi_process_limit > 0 ? ConfigTbl->cgi_process_limit : 0;
  caps.cpuMsec = ConfigTbl->cgi_cpu_limit > 0 ? ConfigTbl->cgi_cpu_limit : 0;
  return caps;
}

// The registry's lock, made at its first use (runs need it also where no
// containment was set up). Null when none could be made: the registry is
// then unguarded, and start-up has failed already.
PlatLock RegistryLock() {
  static PlatLock lock = [] {
    PlatLock made = nullptr;
    return PlatLockInit(&made) == 0 ? made : nullptr;
  }();
  return lock;
}

void Enter() {
  if (PlatLock lock = RegistryLock()) PlatLockEnter(lock);
}

void Leave() {
  if (PlatLock lock = RegistryLock()) PlatLockLeave(lock);
}

void Unregister(CgiHold *hold) {
  for (CgiHold **link = &Going; *link; link = &(*link)->next) {
    if (*link != hold) continue;
    *link = hold->next;
    return;
  }
}

}  // namespace

int CgiContainInit(int checkOnly) {
  PlatCaps caps = ConfiguredCaps();
  CapsSet = caps.memoryBytes > 0 || caps.processes > 0 || caps.cpuMsec > 0;
  if (!RegistryLock()) {
    LogPrint(LOG_FATAL, "Could not initialized.");
    return -1;
  }
  PlatContainment found;
  PlatContainmentInit(&caps, &found, checkOnly);
  // Which containment holds the runs matters where there are CGI programs.
  if (!ConfigTbl->cgi_type && !ConfigTbl->cgi_standard_type) return 0;
  if (checkOnly) {
    printf("CGI containment: %s\n", found.description);
    fflush(stdout);
  } else {
    LogPrint(LOG_INFO, "CGI containment: %s", found.description);
  }
  // One warning for each cap.
  for (const char *key = found.unenforced; *key;) {
    size_t length = strcspn(key, ",");
    LogPrint(LOG_WARN, "%.*s is not enforced: %s.", static_cast<int>(length), key, found.reason);
    key += length;
    key += strspn(key, ", ");
  }
  return 0;
}

bool CgiCapsSet() { return CapsSet; }

int CgiHoldOpen(CgiHold *hold) {
  hold->container = PlatContainerCreate();
  hold->started = 0;
  hold->ended = 0;
  hold->next = nullptr;
  if (!hold->container) {
    LogPrint(LOG_ERR, "Failed to make the CGI control group. errno=%d", PlatLastError());
    return -1;
  }
  return 0;
}

void CgiHoldStarted(CgiHold *hold, const PlatProcessInfo *info) {
  hold->info = *info;
  Enter();
  hold->started = 1;
  hold->next = Going;
  Going = hold;
  Leave();
}

int CgiHoldCapHit(const CgiHold *hold) {
  if (!CapsSet) return PLAT_CAP_NONE;
  int cap = PlatContainerCapHit(hold->container, hold->info.process);
  if (cap == PLAT_CAP_MEMORY)
    LogPrint(LOG_ERR, "CGI memory limit! (%" PRId64 " bytes)", ConfigTbl->cgi_memory_limit);
  else if (cap == PLAT_CAP_PROCESSES)
    LogPrint(LOG_ERR, "CGI process limit! (%d processes)", ConfigTbl->cgi_process_limit);
  else if (cap == PLAT_CAP_CPU)
    LogPrint(LOG_ERR, "CGI CPU limit! (%dmsec)", ConfigTbl->cgi_cpu_limit);
  return cap;
}

// The program with its whole tree where the run did not end by the
// program's own end, then whatever is left in the run's container.
static void EndLocked(CgiHold *hold, int abnormal) {
  if (hold->ended) return;
  hold->ended = 1;
  if (abnormal) CgiEndProgram(&hold->info);
  if (PlatContainerEnd(hold->container) != 0)
    LogPrint(LOG_WARN, "Failed to end the CGI control group. errno=%d", PlatLastError());
}

void CgiHoldEnd(CgiHold *hold, int abnormal) {
  if (!hold->started) return;
  Enter();
  EndLocked(hold, abnormal);
  Unregister(hold);
  hold->started = 0;
  Leave();
}

void CgiHoldClose(CgiHold *hold) {
  PlatContainerClose(hold->container);
  hold->container = nullptr;
}

void CgiEndAllRuns() {
  Enter();
  for (CgiHold *hold = Going; hold; hold = hold->next) EndLocked(hold, 1);
  Leave();
}

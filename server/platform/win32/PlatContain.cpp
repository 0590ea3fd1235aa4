// Win32 backend of CGI containment. Not built yet: runs are held by the
// process tree alone, as before, and no cap is enforced.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

struct PlatContainerRec {
  int unused;
};

int PlatContainmentInit(const PlatCaps *caps, PlatContainment *found, int) {
  memset(found, 0, sizeof *found);
  snprintf(found->description, sizeof found->description, "process trees");
  if (caps->processes > 0) snprintf(found->unenforced, sizeof found->unenforced, "cgi-process-limit");
  return 0;
}

PlatContainer PlatContainerCreate() {
  PlatContainerRec *rec = static_cast<PlatContainerRec *>(calloc(1, sizeof *rec));
  if (!rec) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return rec;
}

int PlatContainerCapHit(PlatContainer, PlatProcess) { return PLAT_CAP_NONE; }
int PlatContainerEnd(PlatContainer) { return 0; }
void PlatContainerClose(PlatContainer container) { free(container); }

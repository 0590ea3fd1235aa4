// Memory for one entry of a configuration list.
#include <cstdlib>

#include "config/ConfigText.h"
#include "log/Log.h"
#include "platform/platform.h"

// The configuration is read before anything is served: without memory for
// it the server cannot start, so the process ends here.
void *ConfigEntryNew(size_t size) {
  void *entry = calloc(1, size);
  if (!entry) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    PlatExitProcess(255);
  }
  return entry;
}

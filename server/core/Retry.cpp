// The accept loop's pause after a failure: retry-seconds of one-second sleeps.
#include "config/ConfigTbl.h"
#include "core/Core.h"
#include "core/Log.h"
#include "platform/platform.h"

void Retry() {
  LogPrint(LOG_INFO, "Procedure retry after sleep %d sec,", ConfigTbl->retry_seconds);
  for (int32_t i = 0; i < ConfigTbl->retry_seconds; ++i) {
    LogPrint(LOG_DEBUG, ".");
    PlatSleep(1000);
  }
}

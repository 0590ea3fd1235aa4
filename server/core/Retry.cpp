// The accept loop's pauses. The cycle time in whole milliseconds is also the
// sleep of a cycle that finds the connection list full.
//
// The pause after a failure: retry-seconds of one-second
// sleeps, and never less than one cycle time (at least 1 ms). A failure can
// repeat at once: an accept out of descriptors leaves its connection
// waiting, so the next wait returns at once and the accept fails again; the
// loop must not spin on it, even with retry-seconds 0.
#include "config/ConfigTbl.h"
#include "core/Core.h"
#include "log/Log.h"
#include "platform/platform.h"

int32_t FullListSleepMsec(int32_t seconds, int32_t microseconds) {
  int64_t msec = static_cast<int64_t>(seconds) * 1000 + microseconds / 1000;
  if (msec < 0) return 0;
  if (msec > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(msec);
}

void Retry() {
  LogPrint(LOG_INFO, "Procedure retry after sleep %d sec,", ConfigTbl->retry_seconds);
  int64_t pausedMsec = 0;
  for (int32_t i = 0; i < ConfigTbl->retry_seconds; ++i) {
    LogPrint(LOG_DEBUG, ".");
    PlatSleep(1000);
    pausedMsec += 1000;
  }
  int32_t cycleMsec = FullListSleepMsec(ConfigTbl->loop_cycle_sec, ConfigTbl->loop_cycle_usec);
  if (cycleMsec < 1) cycleMsec = 1;
  if (pausedMsec < cycleMsec) PlatSleep(static_cast<uint32_t>(cycleMsec - pausedMsec));
}

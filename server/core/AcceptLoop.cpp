// The accept loop: in fixed cycles it checks the stop file, accepts while
// fewer than max-connect connections are registered, starts a transaction
// for each, reaps finished entries and pauses after failures.
#include <cstdint>

#include "config/ConfigTbl.h"
#include "core/Core.h"
#include "core/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

int32_t FullListSleepMsec(int32_t seconds, int32_t microseconds) {
  int64_t msec = static_cast<int64_t>(seconds) * 1000 + microseconds / 1000;
  if (msec < 0) return 0;
  if (msec > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(msec);
}

// Waits for one connection and hands it to a new transaction.
static void AcceptOne() {
  LogPrint(LOG_TRACE, "Waiting for connection.");
  int ready = PlatSocketWaitReadable(ServerSocket, ConfigTbl->loop_cycle_sec,
                                     ConfigTbl->loop_cycle_usec);
  if (ready < 0) {
    LogPrint(LOG_ERR, "Failed select() ret=%d / errno=%d", ready, PlatSocketLastError());
    Retry();
    return;
  }
  if (ready == 0) {
    ConnectListChk();
    return;
  }
  PlatAddress peerAddress = {};
  PlatSocket sock = PlatSocketAccept(ServerSocket, &peerAddress);
  if (sock == PLAT_INVALID_SOCKET) {
    LogPrint(LOG_ERR, "Failed accept() errno=%d", PlatSocketLastError());
    Retry();
    return;
  }
  if (StartTrans(sock, &peerAddress) != 0) {
    LogPrint(LOG_ERR, "Failed to start transaction(%d) is starting.", static_cast<int>(sock));
    Retry();
  }
}

void AcceptLoop() {
  for (;;) {
    // A shutdown begun by a console event ends the process; the loop must
    // not touch the listening socket or the list meanwhile.
    while (ShutdownStarted()) PlatSleep(1000);
    int goOn = CheckStopFile();
    if (ConnectListCount() < ConfigTbl->max_connect) {
      AcceptOne();
    } else {
      ConnectListChk();
      PlatSleep(static_cast<uint32_t>(
          FullListSleepMsec(ConfigTbl->loop_cycle_sec, ConfigTbl->loop_cycle_usec)));
    }
    if (!goOn) return;
  }
}

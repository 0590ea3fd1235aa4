// The accept loop: in fixed cycles it checks the stop file, accepts while
// fewer than max-connect connections are registered, starts a transaction
// for each, reaps finished entries and pauses after failures.
#include <cstdint>

#include "config/ConfigTbl.h"
#include "core/Core.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

// Waits up to one cycle time for a connection and accepts it. Returns the
// connection, or PLAT_INVALID_SOCKET when the cycle has nothing more to do:
// the wait ran out (finished entries are reaped then) or failed, or the
// accept failed (both logged, and the loop pauses).
static PlatSocket WaitAndAccept(PlatAddress *peerAddress) {
  int ready = PlatSocketWaitReadable(ServerSocket, ConfigTbl->loop_cycle_sec,
                                     ConfigTbl->loop_cycle_usec);
  if (ready < 0) {
    LogPrint(LOG_ERR, "Failed select() ret=%d / errno=%d", ready, PlatSocketLastError());
    Retry();
    return PLAT_INVALID_SOCKET;
  }
  if (ready == 0) {
    ConnectListChk();
    return PLAT_INVALID_SOCKET;
  }
  PlatSocket sock = PlatSocketAccept(ServerSocket, peerAddress);
  if (sock == PLAT_INVALID_SOCKET) {
    LogPrint(LOG_ERR, "Failed accept() errno=%d", PlatSocketLastError());
    Retry();
  }
  return sock;
}

// Accepts one connection and hands it to a new transaction. Under load the
// listening socket is almost always readable, and the wait would only say
// so: a connection that is already pending is taken at once, and the wait
// comes only when none is.
static void AcceptOne() {
  LogPrint(LOG_TRACE, "Waiting for connection.");
  PlatAddress peerAddress = {};
  PlatSocket sock = PlatSocketAcceptPending(ServerSocket, &peerAddress);
  if (sock == PLAT_INVALID_SOCKET) sock = WaitAndAccept(&peerAddress);
  if (sock == PLAT_INVALID_SOCKET) return;
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

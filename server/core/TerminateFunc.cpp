// Console control handlers. TerminateFunc runs the shutdown sequence once;
// SignalHold, added at its start, absorbs every later console event.
#include <atomic>

#include "cgi/Cgi.h"
#include "config/ConfigTbl.h"
#include "core/Core.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

static std::atomic<int> ShutdownRunning{0};

bool ShutdownStarted() { return ShutdownRunning.load() != 0; }

// A thread that comes second (the stop file and a console event at once)
// waits here for the process end that the first one brings.
[[noreturn]] static void AwaitProcessEnd() {
  for (;;) PlatSleep(1000);
}

int TerminateFunc(uint32_t ctrlType) {
  TRACE_START();
  if (ctrlType == PLAT_CTRL_LOGOFF_EVENT) {
    LogPrint(LOG_INFO, "Controll signal(%d) is ignore.", static_cast<int>(ctrlType));
    return 1;
  }
  if (ShutdownRunning.exchange(1) != 0) AwaitProcessEnd();

  LogPrint(LOG_INFO, "Received the terminating signal. (%d)", static_cast<int>(ctrlType));
  PlatSetCtrlHandler(SignalHold, 1);
  LogPrint(LOG_INFO, "Terminating all transaction.");
  ConnectListTerm();
  // CGI programs still running would run on without any of their limits.
  CgiEndAllRuns();

  // Nothing is logged from here on: holding the LogLock to the end keeps
  // every other thread from writing a line after the shutdown's last one.
  LogLockEnter();
  PlatSocketClose(ServerSocket);
  // ConfigTbl stays allocated: threads that have not noticed the shutdown
  // may still read it, and the process end releases it.
  PlatSocketCleanup();
  PlatExitProcess(0);
}

int SignalHold(uint32_t) {
  TRACE_START();
  TRACE_END();
  return 1;
}

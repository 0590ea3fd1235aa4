// The server's main routine: creates ConfigTbl, starts every subsystem in
// order, warns of settings that leave the server useless, opens the
// listening socket and runs the accept loop (or, for --check, stops before
// the socket).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/Cgi.h"
#include "config/ConfigTbl.h"
#include "core/Core.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

PlatSocket ServerSocket = PLAT_INVALID_SOCKET;
char *StopFilePath = nullptr;

// The end of a start-up that does not go on to serve: undo what was
// started and report the result.
static int StartupEnds(bool socketsStarted, int result) {
  if (socketsStarted) PlatSocketCleanup();
  TRACE_END_AS("main");
  ConfigRelease();
  return result;
}

static int StartupFailed(bool socketsStarted) { return StartupEnds(socketsStarted, -1); }

// --check ends here, after the dump and the warnings: -1 when a start would
// fail before listening. Its warnings are shown whatever log-level says.
static int CheckEnds() {
  if (LogLevel() < LOG_WARN) LogConfigure(LOG_WARN, ConfigTbl->time_flag, ConfigTbl->dump_log);
  int verdict = ConfigCheck();
  CgiContainInit(1);
  return StartupEnds(true, verdict == 0 ? 0 : -1);
}

int TvdMain(int argc, char **argv) {
  ConfigTbl = static_cast<ConfigTable *>(calloc(1, sizeof *ConfigTbl));
  if (!ConfigTbl) {
    printf("Can not allocate the memory of ConfigTbl.\n");
    fflush(stdout);
    return -1;
  }
  ConfigTbl->log_level = LOG_DEBUG;
  LogConfigure(LOG_DEBUG, 0, 0);
  TRACE_START_AS("main");

  if (PlatSocketStartup() != 0) {
    LogPrint(LOG_FATAL, "WSAStartup() errno=%d", PlatLastError());
    return StartupFailed(false);
  }
  if (TerminateChildInit() != 0) return StartupFailed(true);
  if (ConnectListInit() != 0) {
    LogPrint(LOG_FATAL, "Could not initialized.");
    return StartupFailed(true);
  }

  int loaded = ConfigLoad(argc >= 2 ? argv[1] : "tarveld.conf");
  if (argc > 2) {
    StopFilePath = strdup(argv[2]);
    if (!StopFilePath) {
      LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
      return StartupFailed(true);
    }
  }
  if (loaded != 0) return StartupFailed(true);
  if (ConfigSetup() != 0) return StartupFailed(true);
  ShowConfig();
  if (CheckOnly) return CheckEnds();
  ConfigCheck();
  if (CgiContainInit(0) != 0) return StartupFailed(true);
  // The access log, when one is set, opens before anything is served; log
  // rotation has it reopened by SIGUSR2.
  if (ConfigTbl->access_log_file[0]) {
    if (AccessLogOpen(ConfigTbl->access_log_file) != 0) return StartupFailed(true);
    PlatSetReopenHandler(AccessLogReopen);
  }

  ServerSocket = StartServerSocket();
  if (ServerSocket == PLAT_INVALID_SOCKET) return StartupFailed(true);
  LogPrint(LOG_DEBUG, "Server Socket : %d", static_cast<int>(ServerSocket));

  if (PlatSetCtrlHandler(TerminateFunc, 1) != 0) {
    LogPrint(LOG_ERR, "Failed SetConsoleCtrlHandler() errno=%d", PlatLastError());
    return StartupFailed(true);
  }
  LogPrint(LOG_INFO, "Tarvel server is started.");

  AcceptLoop();
  TerminateFunc(PLAT_CTRL_C_EVENT);
  return 0;  // not reached: the shutdown ends the process
}

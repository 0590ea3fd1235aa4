// Process entry, start-up, accept loop and shutdown of the server.
#ifndef TARVELD_CORE_H
#define TARVELD_CORE_H

#include <cstdint>

#include "platform/platform.h"

// The options, then the server's process entry with the remaining arguments.
int CommandLine(int argc, char **argv);
int ServerEntry(int argc, char **argv);
int TvdMain(int argc, char **argv);  // the server's main routine ("main")
// The listening socket of the resolved endpoint, bound and listening, with
// the waits of the connections it accepts bounded; PLAT_INVALID_SOCKET on a
// failure (logged).
PlatSocket StartServerSocket();
void AcceptLoop();
void Retry();
int CheckStopFile();
int TerminateFunc(uint32_t ctrlType);
int SignalHold(uint32_t ctrlType);
bool ShutdownStarted();  // the shutdown sequence has begun

// Milliseconds the accept loop sleeps when the connection list is full.
int32_t FullListSleepMsec(int32_t seconds, int32_t microseconds);

extern PlatSocket ServerSocket;  // the listening socket
extern char *StopFilePath;       // null when there is no stop file
// --check: the start-up ends after the configuration checks, before listening.
extern bool CheckOnly;

#endif

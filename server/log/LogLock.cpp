// The LogLock serialises every line and dump of every thread.
#include "log/Log.h"
#include "platform/platform.h"

static PlatLock LogLock;

int LogLockInit() { return PlatLockInit(&LogLock); }
void LogLockEnter() { PlatLockEnter(LogLock); }
void LogLockLeave() { PlatLockLeave(LogLock); }

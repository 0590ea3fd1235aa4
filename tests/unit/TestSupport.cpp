#include "unit/TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "log/Log.h"
#include "platform/platform.h"
#include "support/Basics.h"

namespace unit {

namespace {

void LogLockReady() {
  static bool lockReady = false;
  if (!lockReady) {
    LogLockInit();
    lockReady = true;
  }
}

}  // namespace

LogScope::LogScope(int level, int timeFlag, int dumpLog) {
  LogLockReady();
  LogConfigure(level, timeFlag, dumpLog);
}

LogScope::~LogScope() { LogConfigure(LOG_DEBUG, 0, 0); }

ConfigScope::ConfigScope() {
  LogLockReady();
  LogConfigure(LOG_DEBUG, 0, 0);
  ConfigTbl = static_cast<ConfigTable *>(calloc(1, sizeof(ConfigTable)));
  ConfigTbl->log_level = LOG_DEBUG;
}

ConfigScope::~ConfigScope() {
  ConfigRelease();
  LogConfigure(LOG_DEBUG, 0, 0);
}

Capture::Capture(int fd) : fd_(fd) {
  char pattern[] = "/tmp/tarveld-capture-XXXXXX";
  int file = mkstemp(pattern);
  path_ = pattern;
  fflush(stdout);
  fflush(stderr);
  saved_ = dup(fd_);
  dup2(file, fd_);
  close(file);
}

std::string Capture::Text() {
  if (!done_) {
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    close(saved_);
    done_ = true;
  }
  return support::ReadFile(path_);
}

Capture::~Capture() {
  Text();
  unlink(path_.c_str());
}

// The unit tests run the server's code as its start sets it up: a write to
// a socket or pipe whose other end has gone fails instead of ending the
// process.
[[maybe_unused]] static const int SocketsStarted = PlatSocketStartup();

}  // namespace unit

// Shared helpers of the unit tests: the log's settings and a fresh ConfigTbl
// per test, and capture of what the code under test writes to stdout or
// stderr.
#ifndef TARVELD_TEST_SUPPORT_H
#define TARVELD_TEST_SUPPORT_H

#include <string>

#include "config/ConfigTbl.h"

namespace unit {

// Sets what the log writes (LogConfigure) for the scope; the start-up's
// setting (LOG_DEBUG, no prefix, no dumps) again at its end.
class LogScope {
 public:
  explicit LogScope(int level = 4, int timeFlag = 0, int dumpLog = 0);
  ~LogScope();
  LogScope(const LogScope &) = delete;
  LogScope &operator=(const LogScope &) = delete;
};

// Allocates a zero-filled ConfigTbl with log-level 4, as the entry does, and
// releases it with its lists at the end of the test. The log is at the
// start-up's setting meanwhile.
class ConfigScope {
 public:
  ConfigScope();
  ~ConfigScope();
  ConfigScope(const ConfigScope &) = delete;
  ConfigScope &operator=(const ConfigScope &) = delete;
  ConfigTable *operator->() { return ConfigTbl; }
};

// Redirects a standard stream's descriptor into a temporary file until
// Text() is called or the capture ends.
class Capture {
 public:
  explicit Capture(int fd = 1);
  ~Capture();
  Capture(const Capture &) = delete;
  Capture &operator=(const Capture &) = delete;
  std::string Text();  // ends the capture and returns what was written

 private:
  int fd_;
  int saved_ = -1;
  std::string path_;
  bool done_ = false;
};

}  // namespace unit

#endif

// Console logging: level-filtered lines on stdout (LogPrint) or stderr
// (LogPrint2) and hex dumps (LogDump), all serialised by the LogLock. The
// log keeps its own settings, given by LogConfigure; it reads nothing else.
#ifndef TARVELD_LOG_H
#define TARVELD_LOG_H

#include <cstdint>

constexpr int LOG_FATAL = -1;
constexpr int LOG_ERR = 1;
constexpr int LOG_WARN = 2;
constexpr int LOG_INFO = 3;
constexpr int LOG_DEBUG = 4;
constexpr int LOG_TRACE = 5;

// What the log writes from now on: lines of a level up to `level`, each
// with the date, time and thread prefix when timeFlag is non-zero, and the
// dumps when dumpLog is non-zero. Before the first call: LOG_DEBUG, no
// prefix, no dumps, the setting of a start-up before its configuration is
// read. Any thread may call it at any time.
void LogConfigure(int32_t level, int32_t timeFlag, int32_t dumpLog);
int32_t LogLevel();    // the level LogConfigure set last
bool LogDumpsOn();     // whether LogDump writes

void LogPrint(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void LogPrint2(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void LogDump(const char *title, const void *data, uint32_t size);

int LogLockInit();  // 0, or -1 when the lock cannot be set up
void LogLockEnter();
void LogLockLeave();

// Trace lines written on entry to and on each exit from a traced function.
#define TRACE_START_AS(name) \
  LogPrint(LOG_TRACE, "%s() start / %s:%d", name, __FILE_NAME__, __LINE__)
#define TRACE_END_AS(name) \
  LogPrint(LOG_TRACE, "%s() end / %s:%d", name, __FILE_NAME__, __LINE__)
#define TRACE_START() TRACE_START_AS(__func__)
#define TRACE_END() TRACE_END_AS(__func__)

#endif

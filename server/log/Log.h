// Console logging: level-filtered lines on stdout (LogPrint) or stderr
// (LogPrint2) and hex dumps (LogDump), all serialised by the LogLock. The
// log keeps its own settings, given by LogConfigure; it reads nothing else.
// Beside it, the access log: one line per answered request in a file, in
// the Combined Log Format, opened by AccessLogOpen.
#ifndef TARVELD_LOG_H
#define TARVELD_LOG_H

#include <cstddef>
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

// One answered request as the access log writes it. The texts are bytes as
// received (any byte, NUL included), each with its length; a null text is
// written as "-".
struct AccessRecord {
  const char *client;        // the client's address text
  int64_t time;              // when the request came, seconds since 1970 UTC
  const char *request;       // the request line without its line end
  size_t requestLength;
  int status;
  uint64_t bytes;            // of the answer's body
  const char *referer;       // the Referer value; null: none
  size_t refererLength;
  const char *userAgent;     // the User-Agent value; null: none
  size_t userAgentLength;
};
// Opens the access log for appending (created when missing); 0, or -1 when
// it cannot be opened (logged). Start-up only, before any request.
int AccessLogOpen(const char *path);
// Opens the same path anew, for log rotation: from then on lines go to the
// file now at the path, and the old one is closed. When it cannot be
// opened the old file is kept (logged). Any thread, any time.
void AccessLogReopen();
bool AccessLogOn();  // whether AccessLogOpen has opened a log
// Closes the access log; no line is written after it. The server keeps its
// log open to its end: this is for the code that tests the log.
void AccessLogClose();
// Appends one line: 'client - - [time] "request" status bytes "referer"
// "user agent"', the time local with its offset. In the quoted texts every
// byte below 0x20 or above 0x7E, '"' and '\' is written as \xHH, so that no
// request can end a field or a line of its own. Any thread.
void AccessLogWrite(const AccessRecord *record);

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

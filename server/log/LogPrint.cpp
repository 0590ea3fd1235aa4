// One log line: level filter, bounded formatting outside the lock, then the
// optional time prefix, the level tag and the message under the LogLock.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log/Log.h"
#include "platform/platform.h"

// The settings: read by every line of every thread, set at start-up.
static std::atomic<int32_t> Level{LOG_DEBUG};
static std::atomic<int32_t> TimeFlag{0};
static std::atomic<int32_t> DumpLog{0};

void LogConfigure(int32_t level, int32_t timeFlag, int32_t dumpLog) {
  Level.store(level, std::memory_order_relaxed);
  TimeFlag.store(timeFlag, std::memory_order_relaxed);
  DumpLog.store(dumpLog, std::memory_order_relaxed);
}

int32_t LogLevel() { return Level.load(std::memory_order_relaxed); }

bool LogDumpsOn() { return DumpLog.load(std::memory_order_relaxed) != 0; }

static const char LevelTag[6][4] = {"", "[E]", "[W]", "[I]", "[D]", "[T]"};

// The date and time of the prefix change once a second: they are formatted
// once for each second and kept. Only touched under the LogLock.
static time_t PrefixSecond = -1;
static char PrefixClock[32];
static size_t PrefixClockLength = 0;

static size_t AppendText(char *line, size_t used, const char *text) {
  size_t length = strlen(text);
  memcpy(line + used, text, length);
  return used + length;
}

// "YY/MM/DD hh:mm:ss TTTTTTTT " for the given time and the calling thread.
static size_t AppendPrefix(char *line, size_t used, time_t now) {
  if (now != PrefixSecond) {
    struct tm local;
    PlatLocalTime(now, &local);
    int length = snprintf(PrefixClock, sizeof PrefixClock, "%02d/%02d/%02d %02d:%02d:%02d ",
                          local.tm_year + 1900 - 2000, local.tm_mon + 1, local.tm_mday,
                          local.tm_hour, local.tm_min, local.tm_sec);
    PrefixClockLength = length > 0 ? static_cast<size_t>(length) : 0;
    if (PrefixClockLength >= sizeof PrefixClock) PrefixClockLength = sizeof PrefixClock - 1;
    PrefixSecond = now;
  }
  memcpy(line + used, PrefixClock, PrefixClockLength);
  used += PrefixClockLength;
  static const char Hex[] = "0123456789ABCDEF";
  uint32_t id = PlatCurrentThreadId();
  for (int shift = 28; shift >= 0; shift -= 4) line[used++] = Hex[(id >> shift) & 0xF];
  line[used++] = ' ';
  return used;
}

// The whole line is built in one buffer and written with one write and one
// flush: the line is in the log as soon as the call returns.
static void LogWrite(FILE *stream, int level, const char *format, va_list args) {
  if (level > Level.load(std::memory_order_relaxed)) return;

  char message[256];
  vsnprintf(message, sizeof message, format, args);
  message[255] = '\0';

  // Prefix (at most 31 + 9), tag and blank (4), message (255), line feed.
  char line[320];
  size_t used = 0;
  LogLockEnter();
  time_t now = time(nullptr);
  if (TimeFlag.load(std::memory_order_relaxed)) used = AppendPrefix(line, used, now);
  if (level != LOG_FATAL) {
    used = AppendText(line, used, LevelTag[level]);
    line[used++] = ' ';
  }
  used = AppendText(line, used, message);
  line[used++] = '\n';
  fwrite(line, 1, used, stream);
  fflush(stream);
  LogLockLeave();
}

void LogPrint(int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  LogWrite(stdout, level, format, args);
  va_end(args);
}

void LogPrint2(int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  LogWrite(stderr, level, format, args);
  va_end(args);
}

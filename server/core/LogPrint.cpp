// One log line: level filter, bounded formatting outside the lock, then the
// optional time prefix, the level tag and the message under the LogLock.
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "config/ConfigTbl.h"
#include "core/Log.h"
#include "platform/platform.h"

static const char LevelTag[6][4] = {"", "[E]", "[W]", "[I]", "[D]", "[T]"};

static void LogWrite(FILE *stream, int level, const char *format, va_list args) {
  if (level > ConfigTbl->log_level) return;

  char message[256];
  vsnprintf(message, sizeof message, format, args);
  message[255] = '\0';

  LogLockEnter();
  time_t now = time(nullptr);
  struct tm local;
  PlatLocalTime(now, &local);
  if (ConfigTbl->time_flag)
    fprintf(stream, "%02d/%02d/%02d %02d:%02d:%02d %08X ", local.tm_year + 1900 - 2000,
            local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
            PlatCurrentThreadId());
  if (level == LOG_FATAL)
    fprintf(stream, "%s\n", message);
  else
    fprintf(stream, "%s %s\n", LevelTag[level], message);
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

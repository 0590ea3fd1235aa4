// The access log: one line per answered request, in the Combined Log Format
// that log tools read, appended to a file. The file's descriptor is swapped
// by the reopening of log rotation, so every write and the swap hold the
// access log's own lock; a line is composed before the lock is taken and
// leaves with one write.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "log/Log.h"
#include "platform/platform.h"

namespace {

PlatLock AccessLock;
bool AccessLockMade = false;
int AccessFd = -1;                     // under AccessLock
char AccessPath[4096];                 // set once, at start-up
std::atomic<bool> AccessOpen{false};

const char *const MonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "10/Oct/2026:13:55:36 +0200": local time and its offset from UTC, the
// offset found from both conversions of the same moment. The system's
// conversions take a lock of their own: each thread keeps the text of the
// last second it formatted.
size_t FormatTime(int64_t seconds, char *text, size_t size) {
  thread_local int64_t cachedSecond = -1;
  thread_local char cachedText[40];
  thread_local size_t cachedLength = 0;
  if (seconds != cachedSecond) {
    time_t moment = static_cast<time_t>(seconds);
    struct tm local, utc;
    PlatLocalTime(moment, &local);
    PlatUtcTime(moment, &utc);
    int days = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year) days = local.tm_year > utc.tm_year ? 1 : -1;
    int minutes = days * 1440 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
    char sign = minutes < 0 ? '-' : '+';
    if (minutes < 0) minutes = -minutes;
    int length = snprintf(cachedText, sizeof cachedText, "%02d/%s/%04d:%02d:%02d:%02d %c%02d%02d",
                          local.tm_mday, MonthNames[local.tm_mon], local.tm_year + 1900,
                          local.tm_hour, local.tm_min, local.tm_sec, sign, minutes / 60,
                          minutes % 60);
    cachedLength = length > 0 && static_cast<size_t>(length) < sizeof cachedText
                       ? static_cast<size_t>(length)
                       : 0;
    cachedSecond = seconds;
  }
  size_t length = cachedLength < size ? cachedLength : size - 1;
  memcpy(text, cachedText, length);
  return length;
}

// A quoted field: '"', the bytes with every one a log reader could take
// for the end of the field or of the line written as \xHH, '"'. Null: "-".
size_t AppendQuoted(char *line, size_t used, const char *bytes, size_t length) {
  static const char Hex[] = "0123456789ABCDEF";
  line[used++] = '"';
  if (!bytes) {
    line[used++] = '-';
  } else {
    for (size_t i = 0; i < length; ++i) {
      unsigned char byte = static_cast<unsigned char>(bytes[i]);
      if (byte < 0x20 || byte > 0x7E || byte == '"' || byte == '\\') {
        line[used++] = '\\';
        line[used++] = 'x';
        line[used++] = Hex[byte >> 4];
        line[used++] = Hex[byte & 0xF];
      } else {
        line[used++] = static_cast<char>(byte);
      }
    }
  }
  line[used++] = '"';
  return used;
}

}  // namespace

int AccessLogOpen(const char *path) {
  if (!AccessLockMade && PlatLockInit(&AccessLock) != 0) {
    LogPrint(LOG_FATAL, "Could not initialized.");
    return -1;
  }
  AccessLockMade = true;
  int fd = PlatFileOpenAppend(path);
  if (fd < 0) {
    LogPrint(LOG_FATAL, "Failed open() errno=%d", PlatLastError());
    LogPrint(LOG_FATAL, "access-log-file %s could not be opened!", path);
    return -1;
  }
  snprintf(AccessPath, sizeof AccessPath, "%s", path);
  PlatLockEnter(AccessLock);
  int old = AccessFd;
  AccessFd = fd;
  PlatLockLeave(AccessLock);
  if (old >= 0) PlatFileClose(old);
  AccessOpen.store(true, std::memory_order_release);
  return 0;
}

void AccessLogReopen() {
  if (!AccessOpen.load(std::memory_order_acquire)) return;
  int fd = PlatFileOpenAppend(AccessPath);
  if (fd < 0) {
    LogPrint(LOG_ERR, "Failed open() errno=%d", PlatLastError());
    LogPrint(LOG_ERR, "access-log-file %s could not be reopened: the old file is kept.",
             AccessPath);
    return;
  }
  PlatLockEnter(AccessLock);
  int old = AccessFd;
  AccessFd = fd;
  PlatLockLeave(AccessLock);
  PlatFileClose(old);
  LogPrint(LOG_INFO, "access-log-file %s was reopened.", AccessPath);
}

void AccessLogClose() {
  if (!AccessOpen.load(std::memory_order_acquire)) return;
  AccessOpen.store(false, std::memory_order_release);
  PlatLockEnter(AccessLock);
  int old = AccessFd;
  AccessFd = -1;
  PlatLockLeave(AccessLock);
  PlatFileClose(old);
}

bool AccessLogOn() { return AccessOpen.load(std::memory_order_acquire); }

void AccessLogWrite(const AccessRecord *r) {
  if (!AccessLogOn()) return;
  // Every quoted byte may take four; the rest is short.
  size_t size = 4 * (r->requestLength + r->refererLength + r->userAgentLength) + 200;
  char small[2048];
  char *line = size <= sizeof small ? small : static_cast<char *>(malloc(size));
  if (!line) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    return;
  }
  size_t used = static_cast<size_t>(snprintf(line, 64, "%s - - [", r->client));
  used += FormatTime(r->time, line + used, 40);
  line[used++] = ']';
  line[used++] = ' ';
  used = AppendQuoted(line, used, r->request, r->requestLength);
  used += static_cast<size_t>(snprintf(line + used, 48, " %d %llu ", r->status,
                                       static_cast<unsigned long long>(r->bytes)));
  used = AppendQuoted(line, used, r->referer, r->refererLength);
  line[used++] = ' ';
  used = AppendQuoted(line, used, r->userAgent, r->userAgentLength);
  line[used++] = '\n';

  PlatLockEnter(AccessLock);
  int failed = AccessFd >= 0 ? PlatFileWrite(AccessFd, line, static_cast<uint32_t>(used)) : 0;
  PlatLockLeave(AccessLock);
  if (failed != 0) LogPrint(LOG_ERR, "Failed write() errno=%d", PlatLastError());
  if (line != small) free(line);
}

// POSIX backend: error codes, process end, sleeping, files by name, time
// conversion and the version query.
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

// AddressSanitizer builds check for leaks at a normal exit only.
#if defined(__SANITIZE_ADDRESS__)
#define PLAT_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PLAT_LEAK_CHECK 1
#endif
#endif
#ifdef PLAT_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

// The platform id that the version query reports for a POSIX system
// (Windows uses 0 to 2 for its own families).
static const uint32_t POSIX_PLATFORM_ID = 3;

int PlatLastError() { return errno; }
int PlatSocketLastError() { return errno; }
void PlatSetLastError(int code) { errno = code; }

void PlatExitProcess(int code) {
  fflush(stdout);
  fflush(stderr);
#ifdef PLAT_LEAK_CHECK
  // _exit skips the leak check of a sanitizer build; made here, it reports
  // the server's leaks on standard error like every other sanitizer report.
  __lsan_do_recoverable_leak_check();
#endif
  _exit(code);
}

void PlatSleep(uint32_t milliseconds) {
  struct timespec remaining;
  remaining.tv_sec = milliseconds / 1000;
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

uint32_t PlatCurrentProcessId() { return static_cast<uint32_t>(getpid()); }

int PlatUnlink(const char *path) { return unlink(path) == 0 ? 0 : -1; }

void *PlatMemoryAlloc(size_t size) { return SysMalloc(size); }
void PlatMemoryFree(void *memory) { free(memory); }

uint64_t PlatMonotonicMsec() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void PlatLocalTime(time_t t, struct tm *out) { localtime_r(&t, out); }
void PlatUtcTime(time_t t, struct tm *out) { gmtime_r(&t, out); }

int PlatVersionQuery(PlatVersion *version) {
  struct utsname names;
  if (uname(&names) != 0) return -1;
  unsigned major = 0, minor = 0, build = 0;
  sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
  version->majorVersion = major;
  version->minorVersion = minor;
  version->buildNumber = build;
  version->platformId = POSIX_PLATFORM_ID;
  snprintf(version->csdVersion, sizeof version->csdVersion, "%s", names.version);
  return 0;
}

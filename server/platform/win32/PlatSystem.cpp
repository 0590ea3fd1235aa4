// Win32 backend: error codes, process end, sleeping, files by name, the
// monotonic clock, time conversion and the version query.
#include <winsock2.h>
#include <windows.h>

#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

int PlatLastError() { return static_cast<int>(GetLastError()); }
int PlatSocketLastError() { return WSAGetLastError(); }
void PlatSetLastError(int code) { SetLastError(static_cast<DWORD>(code)); }

void PlatExitProcess(int code) {
  fflush(stdout);
  fflush(stderr);
  ExitProcess(static_cast<UINT>(code));
}

void PlatSleep(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t PlatCurrentProcessId() { return GetCurrentProcessId(); }

int PlatUnlink(const char *path) { return _unlink(path) == 0 ? 0 : -1; }

void *Win32Malloc(size_t size) {
  void *memory = malloc(size);
  if (!memory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

void *PlatMemoryAlloc(size_t size) { return SysMalloc(size); }
void PlatMemoryFree(void *memory) { free(memory); }

// Never goes back and never wraps (it counts from the system's start).
uint64_t PlatMonotonicMsec() { return GetTickCount64(); }

void PlatLocalTime(time_t t, struct tm *out) { localtime_s(out, &t); }
void PlatUtcTime(time_t t, struct tm *out) { gmtime_s(out, &t); }

int PlatVersionQuery(PlatVersion *version) {
  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return -1;
  version->majorVersion = info.dwMajorVersion;
  version->minorVersion = info.dwMinorVersion;
  version->buildNumber = info.dwBuildNumber;
  version->platformId = info.dwPlatformId;
  static_assert(sizeof version->csdVersion == sizeof info.szCSDVersion);
  memcpy(version->csdVersion, info.szCSDVersion, sizeof version->csdVersion);
  version->csdVersion[sizeof version->csdVersion - 1] = '\0';
  return 0;
}

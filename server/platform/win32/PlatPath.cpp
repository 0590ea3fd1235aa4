// Win32 backend of the path resolution: GetFullPathNameA, which works on the
// text alone and reports the size it needs when the buffer is too small, and
// GetLongPathNameA, which turns short (8.3) names back into the stored ones.
#include <winsock2.h>
#include <windows.h>

#include "platform/platform.h"

uint32_t PlatFullPath(const char *path, char *buffer, uint32_t bufferSize) {
  char *filePart = nullptr;
  DWORD length = GetFullPathNameA(path, bufferSize, buffer, &filePart);
  if (length >= bufferSize) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return length;
}

uint32_t PlatLongPath(const char *path, char *buffer, uint32_t bufferSize) {
  DWORD length = GetLongPathNameA(path, buffer, bufferSize);
  if (length >= bufferSize) SetLastError(ERROR_FILENAME_EXCED_RANGE);
  return length;
}

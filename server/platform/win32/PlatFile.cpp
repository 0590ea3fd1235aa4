// Win32 backend of document files: runtime descriptors opened read-only,
// binary, with the sequential-access hint, for regular disk files only (a
// device name such as NUL or CON opens a device, which is refused). Nothing
// is inheritable, so no CGI child started meanwhile holds a document open.
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/PlatShared.h"
#include "platform/platform.h"

namespace {

// A regular disk file, and its size.
bool IsRegularFile(int fd, int64_t *size) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK) return false;
  struct _stat64 info;
  if (_fstat64(fd, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
  *size = info.st_size;
  return true;
}

// A ":" after the drive names a stream of the file ("x.cgi::$DATA" opens
// x.cgi itself): such a name is not the regular file it looks like.
bool NamesAStream(const char *path) {
  const char *rest = (path[0] != '\0' && path[1] == ':') ? path + 2 : path;
  return strchr(rest, ':') != nullptr;
}

}  // namespace

int PlatFileOpenSequential(const char *path, int64_t *size) {
  if (NamesAStream(path)) {
    SetLastError(ERROR_INVALID_NAME);
    return -1;
  }
  int fd = _open(path, _O_RDONLY | _O_BINARY | _O_SEQUENTIAL | _O_NOINHERIT);
  if (fd < 0) return -1;
  if (!IsRegularFile(fd, size)) {
    _close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return -1;
  }
  return fd;
}

int PlatFileRead(int fd, void *buffer, uint32_t length) {
  unsigned wanted = length > INT_MAX ? INT_MAX : length;
  return _read(fd, buffer, wanted);
}

int PlatFileClose(int fd) { return _close(fd) == 0 ? 0 : -1; }

int PlatFileModifiedTime(int fd, int64_t *seconds) {
  struct _stat64 info;
  if (_fstat64(fd, &info) != 0) return -1;
  *seconds = static_cast<int64_t>(info.st_mtime);
  return 0;
}

// Binary: a line ends in LF alone, as log tools read it on every system.
// Windows knows no group or other rights: the file takes its folder's.
int PlatFileOpenAppend(const char *path) {
  return _open(path, _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
}

int PlatFileWrite(int fd, const void *buffer, uint32_t length) {
  const char *at = static_cast<const char *>(buffer);
  while (length > 0) {
    unsigned piece = length > INT_MAX ? INT_MAX : length;
    int done = _write(fd, at, piece);
    if (done <= 0) return -1;
    at += done;
    length -= static_cast<uint32_t>(done);
  }
  return 0;
}

// One piece of the file, read and sent.
int PlatFileSendToSocket(int fd, PlatSocket sock, uint32_t length, int *sendFailed) {
  return PlatFileCopyToSocket(fd, sock, length, sendFailed);
}

// Windows has no execute right: a program is a file that begins like an
// executable image ("MZ"), which is what CreateProcess starts.
int PlatPathKind(const char *path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PLAT_PATH_NONE;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PLAT_PATH_FOLDER;
  FILE *stream = fopen(path, "rbN");
  if (!stream) return PLAT_PATH_FILE;
  char magic[2] = {0, 0};
  size_t got = fread(magic, 1, sizeof magic, stream);
  fclose(stream);
  return got == 2 && magic[0] == 'M' && magic[1] == 'Z' ? PLAT_PATH_PROGRAM : PLAT_PATH_FILE;
}

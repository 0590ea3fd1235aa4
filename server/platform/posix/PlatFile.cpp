// POSIX backend of document files: read-only, close-on-exec descriptors and
// streams for regular files only.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/PlatShared.h"
#include "platform/platform.h"

static_assert(sizeof(off_t) == 8, "document sizes need a 64-bit file offset");

namespace {

// Opens read-only without ever waiting: a FIFO or a device must not hold the
// caller in open() before it can be refused. Returns the descriptor only for
// a regular file.
int OpenRegular(const char *path, struct stat *info) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  if (fstat(fd, info) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  if (!S_ISREG(info->st_mode)) {
    close(fd);
    errno = S_ISDIR(info->st_mode) ? EISDIR : EACCES;
    return -1;
  }
  // O_NONBLOCK stays: reads of a regular file never wait for data anyway.
  return fd;
}

}  // namespace

// The sequential-access hint widens the read-ahead; a file that the kernel
// reads in one go anyway gains nothing from it and is spared the call.
static const off_t SEQUENTIAL_HINT_SIZE = 128 * 1024;

// The size comes from the status that the open has read anyway: no second
// look-up of the path.
int PlatFileOpenSequential(const char *path, int64_t *size) {
  struct stat info;
  int fd = OpenRegular(path, &info);
  if (fd < 0) return -1;
  if (info.st_size > SEQUENTIAL_HINT_SIZE) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  *size = info.st_size;
  return fd;
}

int PlatFileRead(int fd, void *buffer, uint32_t length) {
  size_t wanted = length > INT_MAX ? INT_MAX : length;
  ssize_t got;
  do {
    got = read(fd, buffer, wanted);
  } while (got < 0 && errno == EINTR);
  return static_cast<int>(got);
}

int PlatFileClose(int fd) { return close(fd) == 0 ? 0 : -1; }

int PlatFileModifiedTime(int fd, int64_t *seconds) {
  struct stat info;
  if (fstat(fd, &info) != 0) return -1;
  *seconds = static_cast<int64_t>(info.st_mtime);
  return 0;
}

int PlatFileOpenAppend(const char *path) {
  int fd;
  do fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  while (fd < 0 && errno == EINTR);
  return fd;
}

// O_APPEND moves to the end and writes in one step: a line written by one
// call never mixes with another writer's.
int PlatFileWrite(int fd, const void *buffer, uint32_t length) {
  const char *at = static_cast<const char *>(buffer);
  while (length > 0) {
    ssize_t done = write(fd, at, length);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return -1;
    at += done;
    length -= static_cast<uint32_t>(done);
  }
  return 0;
}

namespace {

// Errors of a file-to-socket transfer that belong to the socket's side.
bool SocketSideError(int error) {
  switch (error) {
    case EPIPE: case ECONNRESET: case ECONNABORTED: case ENOTCONN: case ETIMEDOUT:
    case EAGAIN: case ENOBUFS: case EHOSTUNREACH: case ENETDOWN: case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

}  // namespace

// sendfile() moves the bytes from the page cache to the socket in the
// kernel: no copy through user memory and one call for many pieces.
int PlatFileSendToSocket(int fd, PlatSocket sock, uint32_t length, int *sendFailed) {
  *sendFailed = 0;
  size_t wanted = length > INT_MAX ? INT_MAX : length;
  ssize_t sent;
  do sent = sendfile(static_cast<int>(sock), fd, nullptr, wanted);
  while (sent < 0 && errno == EINTR);
  if (sent >= 0) return static_cast<int>(sent);
  if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
    return PlatFileCopyToSocket(fd, sock, length, sendFailed);  // no splicing
  *sendFailed = SocketSideError(errno) ? 1 : 0;
  return -1;
}

// A program is a regular file with the right to execute it: what execve()
// asks of the CGI program before it runs.
int PlatPathKind(const char *path) {
  struct stat info;
  if (stat(path, &info) != 0) return PLAT_PATH_NONE;
  if (S_ISDIR(info.st_mode)) return PLAT_PATH_FOLDER;
  if (S_ISREG(info.st_mode) && access(path, X_OK) == 0) return PLAT_PATH_PROGRAM;
  return PLAT_PATH_FILE;
}

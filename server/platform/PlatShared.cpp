// Shared parts of the platform layer, built from its own calls.
#include "platform/PlatShared.h"

#include <cstdlib>

int PlatFileCopyToSocket(int fd, PlatSocket sock, uint32_t length, int *sendFailed) {
  const uint32_t COPY_SIZE = 16384;
  *sendFailed = 0;
  char *buffer = static_cast<char *>(malloc(COPY_SIZE));
  if (!buffer) return -1;
  int got = PlatFileRead(fd, buffer, length < COPY_SIZE ? length : COPY_SIZE);
  int result = got;
  if (got > 0 && PlatSocketSend(sock, buffer, got) != got) {
    *sendFailed = 1;
    result = -1;
  }
  free(buffer);
  return result;
}

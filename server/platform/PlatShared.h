// Parts of the platform layer that every backend builds from the layer's own
// calls, kept in one place.
#ifndef TARVELD_PLAT_SHARED_H
#define TARVELD_PLAT_SHARED_H

#include "platform/platform.h"

// Reads one piece of up to length bytes of the file and sends it to the
// socket, with PlatFileSendToSocket's results.
int PlatFileCopyToSocket(int fd, PlatSocket sock, uint32_t length, int *sendFailed);

#endif

// Parts of the platform layer that every backend shares, kept in one place:
// built from the layer's own calls, or from socket calls that both systems
// have alike.
#ifndef TARVELD_PLAT_SHARED_H
#define TARVELD_PLAT_SHARED_H

#include "platform/platform.h"

// Reads one piece of up to length bytes of the file and sends it to the
// socket, with PlatFileSendToSocket's results.
int PlatFileCopyToSocket(int fd, PlatSocket sock, uint32_t length, int *sendFailed);

// A peer's address from the family of its socket address and the address
// bytes in it: 4 of them for IPv4, 16 for IPv6, none for any other family.
void PlatAddressSet(PlatAddress *address, int family, const void *bytes);

// A peer's address from the socket address that an accept filled in
// (PlatSocketCommon.cpp).
struct sockaddr_storage;
void PlatPeerAddress(const struct sockaddr_storage *peer, PlatAddress *address);

#endif

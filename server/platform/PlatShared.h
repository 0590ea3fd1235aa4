// Parts of the platform layer that every backend builds from the layer's own
// calls, kept in one place.
#ifndef TARVELD_PLAT_SHARED_H
#define TARVELD_PLAT_SHARED_H

#include "platform/platform.h"

// Reads one piece of up to length bytes of the file and sends it to the
// socket, with PlatFileSendToSocket's results.
int PlatFileCopyToSocket(int fd, PlatSocket sock, uint32_t length, int *sendFailed);

// A peer's address from the family of its socket address and the address
// bytes in it: 4 of them for IPv4, 16 for IPv6, none for any other family.
void PlatAddressSet(PlatAddress *address, int family, const void *bytes);

// An IPv6 look-up result into the entry. Its bytes are kept until the next
// look-up, as the IPv4 host database keeps its own result.
void PlatHostEntrySetIPv6(PlatHostEntry *entry, const void *address, uint32_t scopeId);

#endif

// The socket code that both backends share: the constants, the look-ups in
// the host, protocol and services databases, the binds to IPv4 and IPv6
// socket addresses, and a peer's address from its socket address. The
// socket interfaces agree on these calls; the backend's PlatSocketSystem.h
// brings its headers and says how a failure is reported where they do not.
#include <cstring>

#include "PlatSocketSystem.h"
#include "platform/PlatShared.h"
#include "platform/platform.h"

const int PLAT_AF_UNIX = AF_UNIX;
const int PLAT_AF_INET = AF_INET;
const int PLAT_AF_INET6 = AF_INET6;
const int PLAT_AF_IPX = AF_IPX;
const int PLAT_SOCK_STREAM = SOCK_STREAM;
const int PLAT_SOCK_DGRAM = SOCK_DGRAM;
const int PLAT_SOCK_RAW = SOCK_RAW;
const int PLAT_SOCK_RDM = SOCK_RDM;
const int PLAT_SOCK_SEQPACKET = SOCK_SEQPACKET;

int PlatGetHostName(char *buffer, int length) {
  return gethostname(buffer, length) == 0 ? 0 : -1;
}

int PlatGetHostByName(const char *name, PlatHostEntry *entry) {
  struct hostent *host = gethostbyname(name);
  if (!host || !host->h_addr_list[0]) {
    PlatHostNotFound(host != nullptr);
    return -1;
  }
  entry->addressLength = host->h_length;
  entry->firstAddress = reinterpret_cast<const unsigned char *>(host->h_addr_list[0]);
  entry->scopeId = 0;
  return 0;
}

// The address is kept until the next look-up, as the IPv4 host database
// keeps its own result.
int PlatGetAddrInfoIPv6(const char *name, PlatHostEntry *entry) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET6;
  struct addrinfo *found = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0) {
    PlatResolverFailed(rc);
    return -1;
  }
  static unsigned char first[16];
  const struct sockaddr_in6 *address = reinterpret_cast<const sockaddr_in6 *>(found->ai_addr);
  memcpy(first, &address->sin6_addr, sizeof first);
  entry->addressLength = sizeof first;
  entry->firstAddress = first;
  entry->scopeId = address->sin6_scope_id;
  freeaddrinfo(found);
  return 0;
}

int PlatGetProtoByName(const char *name, int *number) {
  PlatLookupBegins();
  struct protoent *protocol = getprotobyname(name);
  if (!protocol) return -1;
  *number = protocol->p_proto;
  return 0;
}

int PlatGetServByName(const char *name, const char *protocol, uint16_t *portNetOrder) {
  PlatLookupBegins();
  struct servent *service = getservbyname(name, protocol);
  if (!service) return -1;
  *portNetOrder = static_cast<uint16_t>(service->s_port);
  return 0;
}

int PlatSocketBindIPv4(PlatSocket sock, int family, uint16_t portNetOrder,
                       const unsigned char address[4]) {
  PlatBeforeBind(PlatNativeSocket(sock));
  struct sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = static_cast<decltype(local.sin_family)>(family);
  local.sin_port = portNetOrder;
  memcpy(&local.sin_addr, address, 4);
  int rc = bind(PlatNativeSocket(sock), reinterpret_cast<struct sockaddr *>(&local), sizeof local);
  return rc == 0 ? 0 : -1;
}

int PlatSocketBindIPv6(PlatSocket sock, uint16_t portNetOrder, const unsigned char address[16],
                       uint32_t scopeId) {
  PlatBeforeBind(PlatNativeSocket(sock));
  // Dual stack whatever the system's default (Windows makes IPv6 sockets
  // IPv6-only): bound to "::" the socket takes IPv4 clients too. Where the
  // system refuses, it serves IPv6 alone.
  int off = 0;
  setsockopt(PlatNativeSocket(sock), IPPROTO_IPV6, IPV6_V6ONLY,
             reinterpret_cast<const char *>(&off), sizeof off);
  struct sockaddr_in6 local;
  memset(&local, 0, sizeof local);
  local.sin6_family = AF_INET6;
  local.sin6_port = portNetOrder;
  memcpy(&local.sin6_addr, address, 16);
  local.sin6_scope_id = scopeId;
  int rc = bind(PlatNativeSocket(sock), reinterpret_cast<struct sockaddr *>(&local), sizeof local);
  return rc == 0 ? 0 : -1;
}

void PlatPeerAddress(const struct sockaddr_storage *peer, PlatAddress *address) {
  const sockaddr_in *ipv4 = reinterpret_cast<const sockaddr_in *>(peer);
  const sockaddr_in6 *ipv6 = reinterpret_cast<const sockaddr_in6 *>(peer);
  bool isIPv6 = peer->ss_family == AF_INET6;
  PlatAddressSet(address, peer->ss_family, isIPv6 ? static_cast<const void *>(&ipv6->sin6_addr)
                                                  : static_cast<const void *>(&ipv4->sin_addr));
  if (address->family != 0) address->port = ntohs(isIPv6 ? ipv6->sin6_port : ipv4->sin_port);
}

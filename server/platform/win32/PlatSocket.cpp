// Win32 backend of the socket interface: Windows Sockets 2, with the host,
// protocol and services databases of the socket interface itself. Every
// socket is made non-inheritable, so that no CGI child started meanwhile
// holds the listening socket or another client's connection.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "PlatSyscallTable.h"
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

namespace {

SOCKET Native(PlatSocket sock) { return static_cast<SOCKET>(sock); }
PlatSocket Plat(SOCKET sock) {
  return sock == INVALID_SOCKET ? PLAT_INVALID_SOCKET : static_cast<PlatSocket>(sock);
}

}  // namespace

int PlatSocketStartup() {
  WSADATA data;
  int rc = WSAStartup(MAKEWORD(2, 0), &data);
  if (rc != 0) {
    SetLastError(static_cast<DWORD>(rc));  // WSAStartup reports by its result
    return -1;
  }
  return 0;
}

void PlatSocketCleanup() { WSACleanup(); }

int PlatGetHostName(char *buffer, int length) {
  return gethostname(buffer, length) == 0 ? 0 : -1;
}

int PlatGetHostByName(const char *name, PlatHostEntry *entry) {
  struct hostent *host = gethostbyname(name);
  if (!host) return -1;
  if (!host->h_addr_list[0]) {
    WSASetLastError(WSANO_DATA);
    return -1;
  }
  entry->addressLength = host->h_length;
  entry->firstAddress = reinterpret_cast<const unsigned char *>(host->h_addr_list[0]);
  entry->scopeId = 0;
  return 0;
}

// getaddrinfo reports by its result, which is a Windows Sockets error
// number; the last error says the same.
int PlatGetAddrInfoIPv6(const char *name, PlatHostEntry *entry) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET6;
  struct addrinfo *found = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &found);
  if (rc != 0) {
    WSASetLastError(rc);
    return -1;
  }
  const struct sockaddr_in6 *address = reinterpret_cast<const sockaddr_in6 *>(found->ai_addr);
  PlatHostEntrySetIPv6(entry, &address->sin6_addr, address->sin6_scope_id);
  freeaddrinfo(found);
  return 0;
}

int PlatGetProtoByName(const char *name, int *number) {
  struct protoent *protocol = getprotobyname(name);
  if (!protocol) return -1;
  *number = protocol->p_proto;
  return 0;
}

int PlatGetServByName(const char *name, const char *protocol, uint16_t *portNetOrder) {
  struct servent *service = getservbyname(name, protocol);
  if (!service) return -1;
  *portNetOrder = static_cast<uint16_t>(service->s_port);
  return 0;
}

// socket() as WSASocket with its own defaults (overlapped-capable), and
// not inheritable.
PlatSocket PlatSocketCreate(int domain, int type, int protocol) {
  return Plat(WSASocketA(domain, type, protocol, nullptr, 0,
                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

int PlatSocketBindIPv4(PlatSocket sock, int family, uint16_t portNetOrder,
                       const unsigned char address[4]) {
  struct sockaddr_in local;
  memset(&local, 0, sizeof local);
  local.sin_family = static_cast<ADDRESS_FAMILY>(family);
  local.sin_port = portNetOrder;
  memcpy(&local.sin_addr, address, 4);
  return bind(Native(sock), reinterpret_cast<struct sockaddr *>(&local), sizeof local) == 0
             ? 0
             : -1;
}

int PlatSocketBindIPv6(PlatSocket sock, uint16_t portNetOrder, const unsigned char address[16],
                       uint32_t scopeId) {
  // Windows makes IPv6 sockets IPv6-only by default: bound to "::" the
  // socket is to take IPv4 clients too. Where that is refused, it serves
  // IPv6 alone.
  DWORD off = 0;
  setsockopt(Native(sock), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char *>(&off),
             sizeof off);
  struct sockaddr_in6 local;
  memset(&local, 0, sizeof local);
  local.sin6_family = AF_INET6;
  local.sin6_port = portNetOrder;
  memcpy(&local.sin6_addr, address, 16);
  local.sin6_scope_id = scopeId;
  return bind(Native(sock), reinterpret_cast<struct sockaddr *>(&local), sizeof local) == 0
             ? 0
             : -1;
}

int PlatSocketListen(PlatSocket sock, int backlog) {
  return listen(Native(sock), backlog) == 0 ? 0 : -1;
}

int PlatSocketClose(PlatSocket sock) { return closesocket(Native(sock)) == 0 ? 0 : -1; }

int PlatSocketWaitReadable(PlatSocket sock, int32_t seconds, int32_t microseconds) {
  if (seconds < 0 || microseconds < 0) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Native(sock), &readable);
  struct timeval timeout;
  timeout.tv_sec = seconds;
  timeout.tv_usec = microseconds;
  // The first argument is ignored by Windows Sockets.
  return SysSelect(0, &readable, nullptr, nullptr, &timeout);
}

namespace {

// The send time-out of accepted sockets in seconds, 0 for none. Windows
// Sockets do not promise to pass it on from the listener: the accept sets it.
std::atomic<int32_t> AcceptedSendTimeout{0};

}  // namespace

PlatSocket PlatSocketAccept(PlatSocket listener, PlatAddress *peerAddress) {
  struct sockaddr_storage peer;
  int length = sizeof peer;
  memset(&peer, 0, sizeof peer);
  SOCKET accepted =
      SysAccept(Native(listener), reinterpret_cast<struct sockaddr *>(&peer), &length);
  if (accepted == INVALID_SOCKET) return PLAT_INVALID_SOCKET;
  // The accepted socket is kept from CGI children as well.
  if (!SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0)) {
    int error = static_cast<int>(GetLastError());
    closesocket(accepted);
    WSASetLastError(error);
    return PLAT_INVALID_SOCKET;
  }
  int32_t seconds = AcceptedSendTimeout.load();
  if (seconds > 0 && PlatSocketSetSendTimeout(Plat(accepted), seconds) != 0) {
    int error = WSAGetLastError();
    closesocket(accepted);
    WSASetLastError(error);
    return PLAT_INVALID_SOCKET;
  }
  const void *bytes = &reinterpret_cast<sockaddr_in *>(&peer)->sin_addr;
  if (peer.ss_family == AF_INET6) bytes = &reinterpret_cast<sockaddr_in6 *>(&peer)->sin6_addr;
  PlatAddressSet(peerAddress, peer.ss_family, bytes);
  return Plat(accepted);
}

// The listening socket blocks: there is no accept without a wait, and the
// caller waits for readiness and accepts as it always did.
PlatSocket PlatSocketAcceptPending(PlatSocket, PlatAddress *) {
  WSASetLastError(WSAEWOULDBLOCK);
  return PLAT_INVALID_SOCKET;
}

int PlatSocketSetAcceptedSendTimeout(PlatSocket, int32_t seconds) {
  if (seconds <= 0) {
    WSASetLastError(WSAEINVAL);  // 0 would mean no limit at all
    return -1;
  }
  AcceptedSendTimeout.store(seconds);
  return 0;
}

int PlatSocketRecv(PlatSocket sock, void *buffer, int length) {
  return SysRecv(Native(sock), static_cast<char *>(buffer), length, 0);
}

int PlatSocketSend(PlatSocket sock, const void *buffer, int length) {
  return SysSend(Native(sock), static_cast<const char *>(buffer), length, 0);
}

// SO_SNDTIMEO in milliseconds; a send that runs into it fails with
// WSAETIMEDOUT. The largest limit is about 49 days.
int PlatSocketSetSendTimeout(PlatSocket sock, int32_t seconds) {
  if (seconds <= 0) {
    WSASetLastError(WSAEINVAL);  // 0 would mean no limit at all
    return -1;
  }
  const int32_t MAX_SECONDS = 4294967;
  DWORD limit = static_cast<DWORD>(seconds < MAX_SECONDS ? seconds : MAX_SECONDS) * 1000u;
  return setsockopt(Native(sock), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&limit),
                    sizeof limit) == 0
             ? 0
             : -1;
}

// The receive time-out of accepted sockets in seconds, 0 or less for none
// at all: the wait before the receive.
static std::atomic<int32_t> AcceptedReceiveTimeout{0};

int PlatSocketSetAcceptedReceiveTimeout(PlatSocket, int32_t seconds) {
  AcceptedReceiveTimeout.store(seconds);
  return 0;
}

// A wait until the socket is readable, then the receive. A wait that fails
// counts as one that ran out, as the wait before a request always has.
int PlatSocketRecvWithin(PlatSocket sock, void *buffer, int length) {
  int32_t seconds = AcceptedReceiveTimeout.load();
  if (PlatSocketWaitReadable(sock, seconds > 0 ? seconds : 0, 0) <= 0) return PLAT_SOCKET_TIMED_OUT;
  return PlatSocketRecv(sock, buffer, length);
}

// Windows Sockets hold nothing back for a following send: a plain send.
int PlatSocketSendMore(PlatSocket sock, const void *buffer, int length) {
  return PlatSocketSend(sock, buffer, length);
}

// Both pieces with one gathering send; a blocking socket sends them whole
// or fails.
int PlatSocketSendMoreTwo(PlatSocket sock, const void *first, int firstLength,
                          const void *second, int secondLength) {
  WSABUF pieces[2];
  pieces[0].buf = static_cast<char *>(const_cast<void *>(first));
  pieces[0].len = static_cast<ULONG>(firstLength);
  pieces[1].buf = static_cast<char *>(const_cast<void *>(second));
  pieces[1].len = static_cast<ULONG>(secondLength);
  DWORD sent = 0;
  if (SysWSASend(Native(sock), pieces, 2, &sent, 0, nullptr, nullptr) != 0) return -1;
  return static_cast<int>(sent);
}

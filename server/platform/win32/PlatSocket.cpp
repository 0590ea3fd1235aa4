// Win32 backend of the socket interface: Windows Sockets 2. The look-ups in
// the host, protocol and services databases of the socket interface itself
// and the binds are shared with the POSIX backend
// (platform/PlatSocketCommon.cpp). Every socket is made non-inheritable, so
// that no CGI child started meanwhile holds the listening socket or another
// client's connection.
#include <atomic>
#include <cstring>

#include "PlatSocketSystem.h"
#include "PlatSyscallTable.h"
#include "platform/PlatShared.h"
#include "platform/platform.h"

namespace {

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

// socket() as WSASocket with its own defaults (overlapped-capable), and
// not inheritable.
PlatSocket PlatSocketCreate(int domain, int type, int protocol) {
  return Plat(WSASocketA(domain, type, protocol, nullptr, 0,
                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

int PlatSocketListen(PlatSocket sock, int backlog) {
  return listen(PlatNativeSocket(sock), backlog) == 0 ? 0 : -1;
}

int PlatSocketClose(PlatSocket sock) { return closesocket(PlatNativeSocket(sock)) == 0 ? 0 : -1; }

int PlatSocketWaitReadable(PlatSocket sock, int32_t seconds, int32_t microseconds) {
  if (seconds < 0 || microseconds < 0) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(PlatNativeSocket(sock), &readable);
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
      SysAccept(PlatNativeSocket(listener), reinterpret_cast<struct sockaddr *>(&peer), &length);
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
  PlatPeerAddress(&peer, peerAddress);
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
  return SysRecv(PlatNativeSocket(sock), static_cast<char *>(buffer), length, 0);
}

int PlatSocketSend(PlatSocket sock, const void *buffer, int length) {
  return SysSend(PlatNativeSocket(sock), static_cast<const char *>(buffer), length, 0);
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
  return setsockopt(PlatNativeSocket(sock), SOL_SOCKET, SO_SNDTIMEO,
                    reinterpret_cast<const char *>(&limit), sizeof limit) == 0
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
  if (SysWSASend(PlatNativeSocket(sock), pieces, 2, &sent, 0, nullptr, nullptr) != 0) return -1;
  return static_cast<int>(sent);
}

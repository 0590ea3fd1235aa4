// POSIX backend of the socket interface: BSD sockets. The look-ups in the
// system's host, protocol and services databases (read through libc) and
// the binds are shared with the Win32 backend (platform/PlatSocketCommon.cpp).
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "PlatSyscallTable.h"
#include "platform/PlatShared.h"
#include "platform/platform.h"

// The one guard against SIGPIPE, for every socket and pipe write and
// sendfile of the backend: a peer or reader that has gone costs EPIPE,
// never the process. CGI programs start with the signal at its default.
int PlatSocketStartup() {
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

void PlatSocketCleanup() {}

PlatSocket PlatSocketCreate(int domain, int type, int protocol) {
  int fd = socket(domain, type | SOCK_CLOEXEC, protocol);
  return fd < 0 ? PLAT_INVALID_SOCKET : fd;
}

// The listening socket does not block, so that a connection that is
// already pending can be taken without a wait before it
// (PlatSocketAcceptPending); PlatSocketAccept waits by itself.
int PlatSocketListen(PlatSocket sock, int backlog) {
  int fd = static_cast<int>(sock);
  if (listen(fd, backlog) != 0) return -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  return 0;
}

// Bytes held back by PlatSocketSendMore leave with the close, together with
// the FIN. A peer that sent more than was read gets a reset instead, and the
// system drops what it still holds back: such bytes are pushed out first.
int PlatSocketClose(PlatSocket sock) {
  int fd = static_cast<int>(sock);
  int unread = 0;
  if (ioctl(fd, FIONREAD, &unread) == 0 && unread > 0) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  return close(fd) == 0 ? 0 : -1;
}

int PlatSocketSetSendTimeout(PlatSocket sock, int32_t seconds) {
  if (seconds <= 0) {
    errno = EINVAL;  // 0 would mean no limit at all
    return -1;
  }
  struct timeval limit;
  limit.tv_sec = seconds;
  limit.tv_usec = 0;
  return setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0
             ? 0
             : -1;
}

// poll() rather than select(): descriptors above FD_SETSIZE are common on a
// busy server and must not overrun a descriptor set.
int PlatSocketWaitReadable(PlatSocket sock, int32_t seconds, int32_t microseconds) {
  if (seconds < 0 || microseconds < 0) {
    errno = EINVAL;
    return -1;
  }
  struct timespec timeout;
  timeout.tv_sec = seconds + microseconds / 1000000;
  timeout.tv_nsec = static_cast<long>(microseconds % 1000000) * 1000L;
  struct pollfd watch;
  watch.fd = static_cast<int>(sock);
  watch.events = POLLIN;
  watch.revents = 0;
  int ready;
  do {
    ready = SysPpoll(&watch, 1, &timeout, nullptr);
  } while (ready < 0 && errno == EINTR);
  if (ready > 0 && (watch.revents & POLLNVAL)) {
    errno = EBADF;
    return -1;
  }
  return ready;
}

// The accepted socket, with the peer's address taken from its socket address.
static PlatSocket Accepted(int fd, const struct sockaddr_storage *peer, PlatAddress *peerAddress) {
  if (fd < 0) return PLAT_INVALID_SOCKET;
  PlatPeerAddress(peer, peerAddress);
  return fd;
}

// The listening socket does not block: a connection that went away between
// the wait and the accept leaves nothing to take, and the accept waits for
// the next one, as an accept on a blocking socket does.
PlatSocket PlatSocketAccept(PlatSocket listener, PlatAddress *peerAddress) {
  struct sockaddr_storage peer;
  int fd;
  for (;;) {
    socklen_t length = sizeof peer;
    memset(&peer, 0, sizeof peer);
    fd = SysAccept4(static_cast<int>(listener), reinterpret_cast<struct sockaddr *>(&peer),
                    &length, SOCK_CLOEXEC);
    if (fd >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    struct pollfd watch = {static_cast<int>(listener), POLLIN, 0};
    if (SysPpoll(&watch, 1, nullptr, nullptr) < 0 && errno != EINTR) return PLAT_INVALID_SOCKET;
  }
  return Accepted(fd, &peer, peerAddress);
}

PlatSocket PlatSocketAcceptPending(PlatSocket listener, PlatAddress *peerAddress) {
  struct sockaddr_storage peer;
  socklen_t length = sizeof peer;
  memset(&peer, 0, sizeof peer);
  int fd = SysAccept4Pending(static_cast<int>(listener),
                             reinterpret_cast<struct sockaddr *>(&peer), &length, SOCK_CLOEXEC);
  return Accepted(fd, &peer, peerAddress);
}

// Accepted sockets take over the listener's send time-out.
int PlatSocketSetAcceptedSendTimeout(PlatSocket listener, int32_t seconds) {
  return PlatSocketSetSendTimeout(listener, seconds);
}

int PlatSocketRecv(PlatSocket sock, void *buffer, int length) {
  ssize_t received;
  do {
    received = SysRecv(static_cast<int>(sock), buffer, static_cast<size_t>(length), 0);
  } while (received < 0 && errno == EINTR);
  return static_cast<int>(received);
}

// The receive time-out of accepted sockets in seconds, 0 or less for none
// at all. The system holds it on the listener and passes it on; a blocking
// receive that runs into it fails with EAGAIN.
static std::atomic<int32_t> AcceptedReceiveTimeout{0};

int PlatSocketSetAcceptedReceiveTimeout(PlatSocket listener, int32_t seconds) {
  if (seconds > 0) {
    struct timeval limit;
    limit.tv_sec = seconds;
    limit.tv_usec = 0;
    if (SysSetReceiveTimeout(static_cast<int>(listener), SOL_SOCKET, SO_RCVTIMEO, &limit,
                             sizeof limit) != 0)
      return -1;
  }
  AcceptedReceiveTimeout.store(seconds);
  return 0;
}

// One blocking receive bounded by the inherited time-out: the wait and the
// receive in one call.
int PlatSocketRecvWithin(PlatSocket sock, void *buffer, int length) {
  int flags = AcceptedReceiveTimeout.load() > 0 ? 0 : MSG_DONTWAIT;
  ssize_t received;
  do {
    received = SysRecv(static_cast<int>(sock), buffer, static_cast<size_t>(length), flags);
  } while (received < 0 && errno == EINTR);
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return PLAT_SOCKET_TIMED_OUT;
  return static_cast<int>(received);
}

// A send cut short returns its partial count and leaves the error code as
// it was. The reason becomes the last error: the peer's reset, pending on
// the socket, or else the send time-out.
static void BlameShortSend(PlatSocket sock, ssize_t sent, size_t length) {
  if (sent < 0 || static_cast<size_t>(sent) >= length) return;
  int pending = 0;
  socklen_t size = sizeof pending;
  getsockopt(static_cast<int>(sock), SOL_SOCKET, SO_ERROR, &pending, &size);
  errno = pending != 0 ? pending : EAGAIN;
}

static int SendWithFlags(PlatSocket sock, const void *buffer, int length, int flags) {
  ssize_t sent;
  do {
    sent = SysSend(static_cast<int>(sock), buffer, static_cast<size_t>(length), flags);
  } while (sent < 0 && errno == EINTR);
  BlameShortSend(sock, sent, static_cast<size_t>(length));
  return static_cast<int>(sent);
}

int PlatSocketSend(PlatSocket sock, const void *buffer, int length) {
  return SendWithFlags(sock, buffer, length, 0);
}

// MSG_MORE corks the bytes until the next send without it (or the close),
// so that a header and a small body leave in one segment: no Nagle wait
// for the peer's delayed acknowledgement of a lone header.
int PlatSocketSendMore(PlatSocket sock, const void *buffer, int length) {
  return SendWithFlags(sock, buffer, length, MSG_MORE);
}

int PlatSocketSendMoreTwo(PlatSocket sock, const void *first, int firstLength,
                          const void *second, int secondLength) {
  struct iovec pieces[2] = {{const_cast<void *>(first), static_cast<size_t>(firstLength)},
                            {const_cast<void *>(second), static_cast<size_t>(secondLength)}};
  struct msghdr message;
  memset(&message, 0, sizeof message);
  message.msg_iov = pieces;
  message.msg_iovlen = 2;
  ssize_t sent;
  do {
    sent = SysSendmsg(static_cast<int>(sock), &message, MSG_NOSIGNAL | MSG_MORE);
  } while (sent < 0 && errno == EINTR);
  BlameShortSend(sock, sent, static_cast<size_t>(firstLength) + static_cast<size_t>(secondLength));
  return static_cast<int>(sent);
}

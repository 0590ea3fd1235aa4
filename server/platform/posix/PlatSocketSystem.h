// The POSIX backend's side of the socket code that both backends share
// (platform/PlatSocketCommon.cpp): the system's socket headers, its socket
// type, and what the shared code leaves to the backend: how a failed
// look-up is reported, and the set-up of a socket before its bind.
#ifndef TARVELD_PLAT_SOCKET_SYSTEM_H
#define TARVELD_PLAT_SOCKET_SYSTEM_H

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

inline int PlatNativeSocket(PlatSocket sock) { return static_cast<int>(sock); }

// The protocol and services databases set no error number when they know
// no such name: the failure then reports 0, not an old one.
inline void PlatLookupBegins() { errno = 0; }

// A host name that could not be resolved to an IPv4 address, known to the
// resolver without one (knownName) or not at all: the resolver's own error
// number.
inline void PlatHostNotFound(bool knownName) { errno = knownName ? NO_ADDRESS : h_errno; }

// getaddrinfo's result: the resolver's own error number, except for a
// system error, which errno holds already.
inline void PlatResolverFailed(int result) {
  if (result != EAI_SYSTEM) errno = result;
}

// Rebinding a port whose old connections linger in TIME_WAIT must work at
// once after a restart; a port held by a live listener still fails.
inline void PlatBeforeBind(int fd) {
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

#endif

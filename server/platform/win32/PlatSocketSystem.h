// The Win32 backend's side of the socket code that both backends share
// (platform/PlatSocketCommon.cpp): the socket interface's headers, its
// socket type, and what the shared code leaves to the backend: how a failed
// look-up is reported, and the set-up of a socket before its bind.
#ifndef TARVELD_PLAT_SOCKET_SYSTEM_H
#define TARVELD_PLAT_SOCKET_SYSTEM_H

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/platform.h"

inline SOCKET PlatNativeSocket(PlatSocket sock) { return static_cast<SOCKET>(sock); }

// The look-ups of the socket interface set its last error themselves.
inline void PlatLookupBegins() {}

// A host name that could not be resolved to an IPv4 address: the look-up
// has said why, except for a name known without an address (knownName).
inline void PlatHostNotFound(bool knownName) {
  if (knownName) WSASetLastError(WSANO_DATA);
}

// getaddrinfo reports by its result, which is a Windows Sockets error
// number; the last error says the same.
inline void PlatResolverFailed(int result) { WSASetLastError(result); }

// Nothing before a bind: Windows' SO_REUSEADDR would let a second socket
// bind a port that is in use.
inline void PlatBeforeBind(SOCKET) {}

#endif

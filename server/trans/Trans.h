// The connection list and the transaction threads that serve connections.
#ifndef TARVELD_TRANS_H
#define TARVELD_TRANS_H

#include <cstdint>

#include "platform/platform.h"

constexpr int32_t CONNECT_RUNNING = 0;
constexpr int32_t CONNECT_FINISHED = 1;

struct ConnectEntry {
  char address[64];        // peer address: IPv4 dotted decimal, IPv6 short text form
  int32_t status;          // CONNECT_RUNNING or CONNECT_FINISHED
  PlatSocket sock;
  uint32_t thread_id;
  PlatThread thread_handle;
  ConnectEntry *next;
  ConnectEntry *id_next;   // next entry of the same bucket of the look-up by thread
};

int ConnectListInit();
int ConnectListCount();
int ConnectListAdd(PlatSocket sock, uint32_t threadId, PlatThread threadHandle,
                   const PlatAddress *peerAddress);
// The "Connected from" line of a connection from a proxy-from address,
// which ConnectListAdd leaves out: written once its PROXY header has named
// the client (the calling thread's entry then shows that address).
void ConnectListClient(const PlatAddress *client);
// The socket registered in the calling thread's running entry, or
// PLAT_INVALID_SOCKET: a transaction's check that it was registered before
// it ran.
PlatSocket ConnectListSerch();
void ConnectListDel();
// Marks the running entry of the given thread finished (ConnectListDel
// does so for the calling thread).
void ConnectListFinish(uint32_t threadId);
// Resumes the thread of a running entry under the list's lock, so that a
// shutdown ending every transaction (ConnectListTerm) either comes before it
// and finds the thread suspended, or after it, never between. 0 when the
// thread runs; -1 when its entry is gone, or when the resume failed (logged;
// the thread is then ended and its entry finished).
int ConnectListResume(uint32_t threadId);
void ConnectListChk();
void ConnectListTerm();

// Starts the transaction of an accepted connection; the socket is the
// transaction's from the call on (closed by it, or here on a failure).
int StartTrans(PlatSocket sock, const PlatAddress *peerAddress);
uint32_t TransMain(void *connection);  // the thread's routine; its Connection
// Reads the PROXY header of a connection from a proxy-from address (see
// ProxyHeaderRead.cpp): 0 with the client in conn->peer and what followed
// the header in the buffer (conn->received bytes, maybe 0); -1 when the
// connection is refused (logged), with nothing sent.
struct Connection;
int ProxyHeaderRead(Connection *conn);

#endif

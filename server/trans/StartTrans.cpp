// Starts the transaction of an accepted connection: its connection object
// is made, its thread created suspended with the object as its parameter,
// registered in the connection list, then resumed. The socket belongs to the
// transaction from here on.
#include "http/Connection.h"
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

int StartTrans(PlatSocket sock, const PlatAddress *peerAddress) {
  TRACE_START();
  Connection *conn = ConnectionNew(sock, peerAddress);
  if (!conn) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    PlatSocketClose(sock);
    return -1;
  }
  uint32_t threadId = 0;
  PlatThread thread = PlatThreadCreateSuspended(TransMain, conn, &threadId);
  if (!thread) {
    LogPrint(LOG_ERR, "Failed CreateThread() errno=%d", PlatLastError());
    ConnectionClose(conn);
    return -1;
  }
  conn->id = threadId;
  if (ConnectListAdd(sock, threadId, thread, peerAddress) != 0) {
    PlatThreadTerminate(thread, 0);
    PlatThreadClose(thread);
    ConnectionClose(conn);
    return -1;
  }
  // From here on a shutdown may release the thread with its entry at any
  // moment; only the list, under its lock, may still resume it. A thread
  // that is not resumed never runs, and the connection is still ours.
  if (ConnectListResume(threadId) != 0) {
    ConnectionClose(conn);
    return -1;
  }
  TRACE_END();
  return 0;
}

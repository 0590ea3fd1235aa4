// Starts the transaction thread of an accepted connection: created suspended,
// registered in the connection list, then resumed, so that the thread always
// finds its entry. The socket belongs to the transaction from here on.
#include "log/Log.h"
#include "platform/platform.h"
#include "trans/Trans.h"

int StartTrans(PlatSocket sock, const PlatAddress *peerAddress) {
  TRACE_START();
  uint32_t threadId = 0;
  PlatThread thread = PlatThreadCreateSuspended(TransMain, nullptr, &threadId);
  if (!thread) {
    LogPrint(LOG_ERR, "Failed CreateThread() errno=%d", PlatLastError());
    PlatSocketClose(sock);
    return -1;
  }
  if (ConnectListAdd(sock, threadId, thread, peerAddress) != 0) {
    PlatThreadTerminate(thread, 0);
    PlatThreadClose(thread);
    PlatSocketClose(sock);
    return -1;
  }
  // From here on a shutdown may release the thread with its entry at any
  // moment; only the list, under its lock, may still resume it.
  if (ConnectListResume(threadId) != 0) {
    PlatSocketClose(sock);
    return -1;
  }
  TRACE_END();
  return 0;
}

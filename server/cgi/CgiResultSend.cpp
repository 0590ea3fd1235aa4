// One relay step: moves what the CGI program has written so far, at most
// 1024 bytes, from its output pipe to the client, never waiting for output.
#include "cgi/Cgi.h"
#include "log/Log.h"
#include "platform/platform.h"

static const uint32_t RELAY_STEP = 1024;

// The count relayed, 0 when nothing was waiting, -1 on a failure.
int CgiResultSend(PlatHandle pipe, PlatSocket sock) {
  uint32_t available = 0;
  if (PlatPipePeek(pipe, RELAY_STEP, &available) != 0) {
    LogPrint(LOG_ERR, "Failed PeekNamedPipe() errno=%d", PlatLastError());
    return -1;
  }
  if (available == 0) return 0;

  char buffer[RELAY_STEP];
  uint32_t count = 0;
  if (PlatHandleRead(pipe, buffer, available, &count) != 0) {
    LogPrint(LOG_ERR, "Failed ReadFile() errno=%d", PlatLastError());
    return -1;
  }
  if (count == 0) return 0;

  int sent = PlatSocketSend(sock, buffer, static_cast<int>(count));
  if (sent != static_cast<int>(count)) {
    LogPrint(LOG_ERR, "Failed send() errno=%d", PlatSocketLastError());
    return -1;
  }
  LogPrint(LOG_DEBUG, "CGI Result sended %d bytes", sent);
  return sent;
}

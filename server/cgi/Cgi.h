// CGI programs: execution with pipes and time limits, and termination of a
// timed-out program with all its descendants. The HTTP layer asks for a run
// and writes the answer's header when the run hands it over; the run relays
// the program's output after it.
#ifndef TARVELD_CGI_H
#define TARVELD_CGI_H

#include <cstdint>

#include "platform/platform.h"

// The run the HTTP layer asks for.
struct CgiRequest {
  const char *scriptPath;  // the document's full path
  const char *program;     // of its cgi-type entry
  const char *arguments;   // of the same entry; may be empty, never null
  const char *query;       // the URI's query, as received; null without one
  const char *data;        // the request data (read for a POST only)
  int isPost;
};

// The header of the answer, as the run hands it to the HTTP layer.
struct CgiHeader {
  int status;               // the status number, 200
  const char *contentType;  // null: no Content-Type line
};

// The HTTP side of a run: the client's socket, and the call that writes the
// answer's header on it, made once, before any of the program's output is
// relayed. Its result is 0 when the header went out, -1 when not.
struct CgiReply {
  PlatSocket sock;
  int (*sendHeader)(const CgiReply *reply, const CgiHeader *header);
};

// Runs the program and answers the request through the reply. 0 when the
// program was started, whatever happened afterwards; -1 when it was not
// (nothing has been sent then).
int CgiExec(const CgiRequest *request, const CgiReply *reply);
int CgiResultSend(PlatHandle pipe, PlatSocket sock);

int TerminateChildInit();
int TerminateChild(uint32_t processId);

#endif

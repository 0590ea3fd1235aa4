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

// A header line of the request, both parts without the blanks around them.
struct CgiField {
  const char *name;
  const char *value;
};

// What the standard interface (CGI/1.1) tells a program beside the run's
// request: its meta-variables, and the request body it reads.
struct CgiMeta {
  uint32_t id;                 // the transaction's, for the run's log lines
  const char *method;
  const char *protocol;        // SERVER_PROTOCOL
  const char *requestUri;      // the URI as received, query included
  const char *scriptName;      // the script's path in URI form
  const char *pathInfo;        // what follows it; empty for none
  const char *pathTranslated;  // PATH_INFO below the document root; null for none
  const char *documentRoot;
  const char *serverName;
  int serverPort;
  const char *remoteAddress;
  int remotePort;
  const CgiField *fields;      // the request's header lines
  int fieldCount;
  const char *contentType;     // null: none
  const char *body;            // exactly bodyLength bytes; null: no body
  int64_t bodyLength;
  const char *directory;       // the program's current folder: the script's
  int nph;                     // the program writes the whole answer itself
};

// The header of the answer, as the run hands it to the HTTP layer.
struct CgiHeader {
  int status;               // the status number
  const char *reason;       // null: the status table's phrase
  const char *contentType;  // cgi-type's one line; null: none
  const char *lines;        // the standard interface: the program's own
                            // header lines, each ending in CR LF; null for
                            // cgi-type
  size_t linesLength;
};

// What went to a client, for the access log: the status of the answer's
// header (0 while none was sent) and the bytes of the body after it.
struct AnswerSent {
  int status;
  uint64_t bodyBytes;
};

// The HTTP side of a run: the client's socket, and the call that writes the
// answer's header on it, made once, before any of the program's output is
// relayed. Its result is 0 when the header went out, -1 when not. The run
// adds every byte of the body it sends to the answer's count, and sets the
// status of an answer whose header the program writes itself (nph-).
struct CgiReply {
  PlatSocket sock;
  int (*sendHeader)(const CgiReply *reply, const CgiHeader *header);
  AnswerSent *answer;  // null: nothing is counted
};

// Runs the program and answers the request through the reply. 0 when the
// program was started, whatever happened afterwards; -1 when it was not
// (nothing has been sent then).
int CgiExec(const CgiRequest *request, const CgiReply *reply);
int CgiResultSend(PlatHandle pipe, PlatSocket sock);
// Runs a program through the standard interface: the request body on its
// standard input, its own header parsed and handed to the reply, its error
// output logged. 0 when the program was started; -1 when it was not
// (nothing has been sent then).
int CgiStandardExec(const CgiRequest *request, const CgiMeta *meta, const CgiReply *reply);

// The containment of CGI runs, set up once at start-up from the
// configuration's caps (the check only reports it); logged when there are
// CGI entries.
int CgiContainInit(int checkOnly);
// Ends every run that is still going, each program with its processes.
void CgiEndAllRuns();

int TerminateChildInit();
// Ends a program and every process that descends from it, by one process
// list: 0, also when the program has already ended; -1 (logged) when no
// list could be taken, so that nothing was ended.
int TerminateChild(uint32_t processId);

#endif

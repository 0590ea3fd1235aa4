// Pieces of a CGI run that the CGI sources share with their tests: the
// child's environment block and the tree walk of the termination.
#ifndef TARVELD_CGI_RUN_H
#define TARVELD_CGI_RUN_H

#include <cstdint>

#include "cgi/Cgi.h"
#include "platform/platform.h"

// The child's whole environment: QUERY_STRING (only when there is a query)
// and CONTENT_LENGTH, each NUL-terminated, then one more NUL. Heap block;
// null when no memory.
char *CgiEnvironment(const char *query, const char *data, int isPost);
// The whole environment of a standard CGI program; heap block, null when no
// memory.
char *CgiStandardEnvironment(const CgiRequest *request, const CgiMeta *meta);

// What holds one run: its container, and its program once started. Runs
// whose program has started are registered until their end, so that a
// shutdown can end them (CgiEndAllRuns).
struct CgiHold {
  PlatContainer container;
  PlatProcessInfo info;
  int started;
  int ended;
  CgiHold *next;
};
// Opens the run's container (-1, logged, when none can be made: the
// program must not start then).
int CgiHoldOpen(CgiHold *hold);
void CgiHoldStarted(CgiHold *hold, const PlatProcessInfo *info);
// The cap the run has hit (PLAT_CAP_NONE without caps), logged with its figure.
int CgiHoldCapHit(const CgiHold *hold);
// Ends the run: where it did not end by the program's own end (abnormal)
// the program with its whole tree first, then, always, whatever is left in
// its container.
void CgiHoldEnd(CgiHold *hold, int abnormal);
void CgiHoldClose(CgiHold *hold);  // removes the container
bool CgiCapsSet();                 // whether any cap is configured

// Ends a run that did not end by the program's own end: the program with
// every process that descends from it (the program alone, through its
// handle, when the process list cannot be read) and, where the system keeps
// one, every process left in the group the program leads (descendants whose
// parent has already ended are no longer below it).
void CgiEndProgram(const PlatProcessInfo *info);

// Terminates the process of list[index] after all its descendants in the
// list. `visited` holds one flag per entry: an entry is walked at most once,
// so parent links that loop cannot recurse without end. 0 when the process
// could be opened for termination, -1 when not.
int TerminateChildTree(const PlatProcessEntry *list, uint32_t count, uint32_t index,
                       unsigned char *visited);

// The error output of one standard run on its way into the log.
constexpr uint64_t CGI_ERROR_OUTPUT_MOST = 4096;  // bytes logged per run
struct CgiErrorOutput {
  uint32_t id;            // the transaction's
  char text[200];         // the line so far, escaped (a log line holds 255)
  size_t textLength;
  bool pendingReturn;     // a CR that may end the line with the next LF
  uint64_t taken;         // bytes logged so far
  uint64_t dropped;       // bytes beyond the limit
};
// Logs the complete lines among the bytes (a long line in several pieces).
void CgiErrorOutputTake(CgiErrorOutput *output, const char *bytes, size_t length);
// Logs the last line without its line end, and the count of what was not
// logged.
void CgiErrorOutputEnd(CgiErrorOutput *output);

// The header of a standard CGI program's output, as parsed so far.
struct CgiProgramHeader {
  int status;            // 200, the Status line's, or 302 for a lone Location
  char reason[64];       // the Status line's phrase; empty: the table's
  char *lines;           // the lines passed on, each ending in CR LF (heap)
  size_t linesLength;
  size_t consumed;       // bytes of output up to and with the empty line
  const char *problem;   // what makes a bad header bad
};
constexpr size_t CGI_HEADER_MOST = 65536;  // a longer header is bad
constexpr int CGI_HEADER_BAD = -1;
constexpr int CGI_HEADER_INCOMPLETE = 0;
constexpr int CGI_HEADER_DONE = 1;
// Parses the output read so far (start with a zero-filled header; free its
// lines afterwards): done, incomplete (more output needed), or bad.
int CgiProgramHeaderParse(const char *output, size_t length, CgiProgramHeader *header);

#endif

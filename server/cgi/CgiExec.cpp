// Runs a CGI program for one request: starts it with the document's path,
// an environment of QUERY_STRING and CONTENT_LENGTH and two pipes, feeds it
// the request data of a POST, has the 200 header sent and relays its output to
// the client in 10 ms passes until it ends or a time limit runs out. A
// program whose run ends otherwise (a time limit, the client gone, a failed
// pipe or exit-code query) is terminated with all its descendants.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/Cgi.h"
#include "cgi/CgiRun.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"

namespace {

const uint32_t PASS_MSEC = 10;         // pause and nominal length of a pass
const size_t ENVIRONMENT_SLACK = 512;  // room beyond the query text
const char TIMEOUT_TEXT[] = "SERVER ERROR: CGI TIMEOUT.";

// The four pipe handles the server holds during a run. The child's own ends
// stay open too, so neither side ever sees end of file while the run lasts.
struct CgiPipes {
  PlatHandle inRead;    // the child's standard input
  PlatHandle inWrite;   // the server writes the request data here
  PlatHandle outWrite;  // the child's standard output
  PlatHandle outRead;   // the server reads the child's output here
};

// Request data still to be written to the child's standard input.
struct CgiInput {
  const char *position;
  uint32_t remaining;
  int writing;  // 1 until everything is written or a write has failed
};

void CgiPipesClose(CgiPipes *pipes) {
  PlatHandleClose(pipes->outWrite);
  PlatHandleClose(pipes->outRead);
  PlatHandleClose(pipes->inRead);
  PlatHandleClose(pipes->inWrite);
}

// Creates the input pipe and keeps a private copy of its write end, made
// non-blocking so that a child that does not read can never hold the
// transaction up: the data is then written pass by pass within the limits.
int CgiInputPipeOpen(CgiPipes *pipes) {
  PlatHandle pipeWrite = PLAT_INVALID_HANDLE;
  if (PlatPipeCreate(&pipes->inRead, &pipeWrite) != 0) {
    LogPrint(LOG_ERR, "Failed CreatePipe() errno=%d", PlatLastError());
    return -1;
  }
  if (PlatHandleDuplicate(pipeWrite, &pipes->inWrite) != 0) {
    LogPrint(LOG_ERR, "Failed DuplicateHandle() errno=%d", PlatLastError());
    PlatHandleClose(pipes->inRead);
    PlatHandleClose(pipeWrite);
    return -1;
  }
  PlatHandleClose(pipeWrite);
  if (PlatHandleSetNonBlocking(pipes->inWrite) != 0) {
    LogPrint(LOG_ERR, "Failed SetNamedPipeHandleState() errno=%d", PlatLastError());
    PlatHandleClose(pipes->inRead);
    PlatHandleClose(pipes->inWrite);
    return -1;
  }
  return 0;
}

// Creates the output pipe and keeps a private copy of its read end.
int CgiOutputPipeOpen(CgiPipes *pipes) {
  PlatHandle pipeRead = PLAT_INVALID_HANDLE;
  if (PlatPipeCreate(&pipeRead, &pipes->outWrite) != 0) {
    LogPrint(LOG_ERR, "Failed CreatePipe() errno=%d", PlatLastError());
    return -1;
  }
  if (PlatHandleDuplicate(pipeRead, &pipes->outRead) != 0) {
    LogPrint(LOG_ERR, "Failed DuplicateHandle() errno=%d", PlatLastError());
    PlatHandleClose(pipeRead);
    PlatHandleClose(pipes->outWrite);
    return -1;
  }
  PlatHandleClose(pipeRead);
  return 0;
}

// Both pipes; on a failure everything opened so far is closed again.
int CgiPipesOpen(CgiPipes *pipes) {
  pipes->inRead = pipes->inWrite = PLAT_INVALID_HANDLE;
  pipes->outWrite = pipes->outRead = PLAT_INVALID_HANDLE;
  if (CgiInputPipeOpen(pipes) != 0) return -1;
  if (CgiOutputPipeOpen(pipes) != 0) {
    PlatHandleClose(pipes->inRead);
    PlatHandleClose(pipes->inWrite);
    return -1;
  }
  return 0;
}

// Writes what the input pipe takes now. The first write is made even when
// there is nothing to write, and dumped with its size; later ones are dumped
// only when they moved bytes.
void CgiWriteInput(PlatHandle pipe, CgiInput *input, int first) {
  if (!input->writing) return;
  uint32_t written = 0;
  if (PlatHandleWrite(pipe, input->position, input->remaining, &written) != 0) {
    LogPrint(LOG_WARN, "Failed WriteFile() errno=%d", PlatLastError());
    input->writing = 0;
    return;
  }
  if (written > 0 || first) LogDump("CGI Write Data", input->position, written);
  input->position += written;
  input->remaining -= written;
  if (input->remaining == 0) input->writing = 0;
}

// Advances a nominal time count by one pass; it stops at the largest value
// rather than wrap, so a limit that large is simply never exceeded.
int32_t CgiAdvance(int32_t count) {
  return count <= INT32_MAX - static_cast<int32_t>(PASS_MSEC)
             ? count + static_cast<int32_t>(PASS_MSEC)
             : INT32_MAX;
}

// Bytes of the body that went to the client, for the access log.
void CgiCount(const CgiReply *reply, int sent) {
  if (reply->answer && sent > 0) reply->answer->bodyBytes += static_cast<uint64_t>(sent);
}

// A limit or a cap ends the run: the program with its processes first, so
// that a client that no longer reads cannot keep it alive, then the text.
void CgiTimeout(const CgiReply *reply, CgiHold *hold) {
  CgiHoldEnd(hold, 1);
  int sent = PlatSocketSend(reply->sock, TIMEOUT_TEXT, static_cast<int>(sizeof TIMEOUT_TEXT - 1));
  CgiCount(reply, sent);
}

// Whether a limit is exceeded at the start of a pass; logs which one. Once the
// program has ended its silence no longer counts: only the run time does.
bool CgiLimitExceeded(int32_t runTime, int32_t idleTime, bool ended) {
  int32_t exeLimit = ConfigTbl->cgi_exe_timeout;  // read afresh in every pass
  int32_t ioLimit = ConfigTbl->cgi_io_timeout;
  if (exeLimit < runTime) {
    LogPrint(LOG_ERR, "CGI EXE timeout! (%dmsec)", runTime);
    return true;
  }
  if (!ended && ioLimit < idleTime) {
    LogPrint(LOG_ERR, "CGI I/O timeout! (%dmsec/%dmsec)", idleTime, runTime);
    return true;
  }
  return false;
}

// 1 when the program has ended, 0 while it runs, -1 when that cannot be
// told (logged). Only whether it runs counts, not its exit code.
int CgiProgramEnded(const PlatProcessInfo *info) {
  uint32_t code = 0;
  int state = PlatProcessExitCode(info->process, &code);
  if (state < 0) {
    LogPrint(LOG_ERR, "Failed GetExitCodeProcess() errno=%d", PlatLastError());
    return -1;
  }
  return state == PLAT_PROCESS_RUNNING ? 0 : 1;
}

// The relay passes. Every pass counts 10 ms of run time when it relays output
// or finds the child still running, and 10 ms of idle time when it finds no
// output; the limits are tested before each pass. Output that the program
// writes just before it ends can arrive after a pass found the pipe empty, so
// once the end is seen the pipe is drained in passes without pause until one
// finds nothing: the end of file is never waited for, since a descendant may
// still hold the pipe open. Every end of a run but the program's own ends the
// program with its tree; a cap it hits ends it like a time-out, also when
// the cap has ended the program itself before the relay saw it.
void CgiRelay(const CgiReply *reply, const CgiPipes *pipes, CgiHold *hold, CgiInput *input) {
  const PlatProcessInfo *info = &hold->info;
  int32_t runTime = 0;
  int32_t idleTime = 0;
  bool ended = false;
  for (;;) {
    if (CgiLimitExceeded(runTime, idleTime, ended) ||
        (!ended && CgiHoldCapHit(hold) != PLAT_CAP_NONE)) {
      CgiTimeout(reply, hold);
      return;
    }
    if (!ended) {
      PlatSleep(PASS_MSEC);
      CgiWriteInput(pipes->inWrite, input, 0);
    }
    int relayed = CgiResultSend(pipes->outRead, reply->sock);
    CgiCount(reply, relayed);
    if (relayed < 0) {
      CgiHoldEnd(hold, 1);
      break;
    }
    if (relayed > 0) {
      idleTime = 0;
      runTime = CgiAdvance(runTime);
      continue;
    }
    if (ended) {
      // A cap may have ended the program before a pass looked: once its
      // output is relayed, the run ends as a capped one.
      if (CgiHoldCapHit(hold) != PLAT_CAP_NONE) {
        CgiTimeout(reply, hold);
        return;
      }
      break;
    }
    idleTime = CgiAdvance(idleTime);
    int state = CgiProgramEnded(info);
    if (state < 0) {
      CgiHoldEnd(hold, 1);
      break;
    }
    if (state > 0) {
      ended = true;
      continue;
    }
    runTime = CgiAdvance(runTime);
  }
  LogPrint(LOG_DEBUG, "CGI executed time=%dmsec", runTime);
  // Nothing the program started outlives its run.
  CgiHoldEnd(hold, 0);
}

}  // namespace

char *CgiEnvironment(const char *query, const char *data, int isPost) {
  size_t size = query ? strlen(query) + ENVIRONMENT_SLACK : ENVIRONMENT_SLACK;
  char *block = static_cast<char *>(calloc(1, size));
  if (!block) return nullptr;
  char *next = block;
  if (query) {
    next += snprintf(next, size, "QUERY_STRING=%s", query) + 1;
  }
  size_t left = size - static_cast<size_t>(next - block);
  if (isPost) {
    snprintf(next, left, "CONTENT_LENGTH=%d", static_cast<int>(strlen(data)));
  } else {
    snprintf(next, left, "CONTENT_LENGTH=0");
  }
  return block;
}

int CgiExec(const CgiRequest *request, const CgiReply *reply) {
  TRACE_START();
  CgiPipes pipes;
  if (CgiPipesOpen(&pipes) != 0) return -1;
  char *environment = CgiEnvironment(request->query, request->data, request->isPost);
  if (!environment) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    CgiPipesClose(&pipes);
    return -1;
  }

  PlatProcessStart start;
  start.program = request->program;
  start.arguments = request->arguments;
  start.scriptPath = request->scriptPath;
  start.environment = environment;
  start.stdIn = pipes.inRead;
  start.stdOut = pipes.outWrite;
  start.stdErr = PLAT_INVALID_HANDLE;
  start.directory = nullptr;
  CgiHold hold;
  if (CgiHoldOpen(&hold) != 0) {
    free(environment);
    CgiPipesClose(&pipes);
    return -1;
  }
  start.container = hold.container;
  PlatProcessInfo info;
  if (PlatProcessCreate(&start, &info) != 0) {
    LogPrint(LOG_ERR, "Failed CreateProcess() errno=%d", PlatLastError());
    free(environment);
    CgiPipesClose(&pipes);
    CgiHoldClose(&hold);
    return -1;
  }
  free(environment);
  CgiHoldStarted(&hold, &info);

  CgiInput input;
  input.position = request->data;
  input.remaining = request->isPost ? static_cast<uint32_t>(strlen(request->data)) : 0;
  input.writing = request->isPost;
  CgiWriteInput(pipes.inWrite, &input, 1);

  // The answer is 200 with the program's output as an HTML body, whatever
  // the program writes; its result does not matter, the relay follows.
  const CgiHeader header = {200, nullptr, "text/html", nullptr, 0};
  reply->sendHeader(reply, &header);
  CgiRelay(reply, &pipes, &hold, &input);

  CgiPipesClose(&pipes);
  PlatProcessClose(info.process);
  CgiHoldClose(&hold);
  TRACE_END();
  return 0;
}

// Runs a CGI program through the standard interface (CGI/1.1): its
// meta-variables in its environment, exactly the request body on its
// standard input (then end of file), its own header parsed and handed to
// the HTTP layer, its body relayed as it comes, its error output logged.
//
// The run waits for whatever comes first: output, error output, room for
// more of the body, the program's end, or the next limit. Output moves in
// large reads, without pauses. Once the program has ended, what is left in
// its pipes is read without waiting for a descendant that may hold them.
// The limits count in real milliseconds: cgi-exe-timeout since the start,
// cgi-io-timeout since the last output. A limit that falls due before the
// header is complete gives 504; after it, the connection ends with what was
// relayed. A cap the run hits ends it like a limit (502 before the header).
// Every end of a run but the program's own ends the program with its
// processes, before the client is answered; whatever the program started
// ends with the run in any case.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/Cgi.h"
#include "cgi/CgiRun.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"

namespace {

const uint32_t RELAY_SIZE = 65536;  // one read of output
const char TIMEOUT_TEXT[] = "SERVER ERROR: CGI TIMEOUT.";
const char BAD_HEADER_TEXT[] = "SERVER ERROR: BAD CGI HEADER.";
const char CAP_TEXT[] = "SERVER ERROR: CGI LIMIT.";
const int32_t CAP_LOOK_MSEC = 50;     // how often the caps are looked at
const int32_t REAP_WAIT_MSEC = 2000;  // for a program ended from outside

// How a run ended, for the outcome line.
enum RunEnd {
  END_PROGRAM,
  END_EXE_LIMIT,
  END_IO_LIMIT,
  END_MEMORY_CAP,
  END_PROCESS_CAP,
  END_CPU_CAP,
  END_CLIENT,
  END_BAD_HEADER,
  END_FAILURE
};

struct StandardRun {
  const CgiRequest *request;
  const CgiMeta *meta;
  const CgiReply *reply;
  CgiHold hold;              // the container, and the program once started
  PlatStream in, out, err;   // null once closed
  const char *bodyAt;        // what is left of the body
  int64_t bodyLeft;
  uint64_t start;
  uint64_t lastOutput;
  bool ended;                // the program has ended
  bool outEnded;             // its output has reached its end
  bool headerSent;
  int status;                // of the answer sent; 0 for none
  uint64_t relayed;          // bytes of the program's output sent
  RunEnd end;
  char *header;              // the output before the header's end
  size_t headerUsed;
  CgiProgramHeader parsed;
  char *buffer;              // RELAY_SIZE bytes
  CgiErrorOutput errors;
};

// ------------------------------------------------ answering the client

bool SendAll(StandardRun *run, const char *bytes, size_t length) {
  while (length > 0) {
    int piece = length > (1u << 30) ? (1 << 30) : static_cast<int>(length);
    int sent = PlatSocketSend(run->reply->sock, bytes, piece);
    if (sent <= 0) {
      LogPrint(LOG_ERR, "Failed send() errno=%d", PlatSocketLastError());
      return false;
    }
    run->relayed += static_cast<uint64_t>(sent);
    if (run->reply->answer) run->reply->answer->bodyBytes += static_cast<uint64_t>(sent);
    bytes += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// An answer of the server's own when the program's header never came: a
// short text with its status.
void SendOwnAnswer(StandardRun *run, int status, const char *text) {
  char lines[96];
  size_t length = strlen(text);
  int linesLength = snprintf(lines, sizeof lines,
                             "Content-Type: text/plain\r\nContent-Length: %zu\r\n", length);
  const CgiHeader header = {status, nullptr, nullptr, lines, static_cast<size_t>(linesLength)};
  run->status = status;
  run->headerSent = true;
  if (run->reply->sendHeader(run->reply, &header) != 0) return;
  int sent = PlatSocketSend(run->reply->sock, text, static_cast<int>(length));
  if (run->reply->answer && sent > 0) run->reply->answer->bodyBytes += static_cast<uint64_t>(sent);
}

// The status of an answer that the program writes whole, for the access
// log: the number of its status line ("HTTP/1.0 200 OK"), 0 when its first
// read begins otherwise.
int NphStatus(const char *output, size_t length) {
  const char *space = static_cast<const char *>(memchr(output, ' ', length));
  if (!space || strncmp(output, "HTTP/", 5) != 0) return 0;
  size_t at = static_cast<size_t>(space - output) + 1;
  if (length < at + 3) return 0;
  int status = 0;
  for (size_t i = at; i < at + 3; ++i) {
    if (output[i] < '0' || output[i] > '9') return 0;
    status = status * 10 + (output[i] - '0');
  }
  return status;
}

// The program's header is complete: the HTTP layer writes it, then the
// output that followed it in the same reads goes out.
bool SendProgramHeader(StandardRun *run) {
  const CgiProgramHeader &parsed = run->parsed;
  const CgiHeader header = {parsed.status, parsed.reason[0] ? parsed.reason : nullptr, nullptr,
                            parsed.lines ? parsed.lines : "", parsed.linesLength};
  run->status = parsed.status;
  run->headerSent = true;
  if (run->reply->sendHeader(run->reply, &header) != 0) return false;
  return SendAll(run, run->header + parsed.consumed, run->headerUsed - parsed.consumed);
}

// ------------------------------------------------ the program's streams

void CloseInput(StandardRun *run) {
  PlatStreamClose(run->in);
  run->in = nullptr;
}

// Writes what the program's input takes now; closes it once the body is
// written, so that the program sees its end. A program that stops reading
// (or ends) gets no more of it.
void WriteBody(StandardRun *run) {
  while (run->in && run->bodyLeft > 0) {
    uint32_t piece = run->bodyLeft > (1 << 30) ? (1u << 30) : static_cast<uint32_t>(run->bodyLeft);
    uint32_t written = 0;
    if (PlatStreamWrite(run->in, run->bodyAt, piece, &written) != 0) {
      LogPrint(LOG_DEBUG, "CGI input closed by the program. (%" PRId64 " bytes unread)",
               run->bodyLeft);
      CloseInput(run);
      return;
    }
    if (written == 0) return;
    LogDump("CGI Write Data", run->bodyAt, written);
    run->bodyAt += written;
    run->bodyLeft -= written;
  }
  if (run->in && run->bodyLeft == 0) CloseInput(run);
}

// One read of the error output, into the log.
void ReadErrors(StandardRun *run) {
  uint32_t got = 0;
  int state = PlatStreamRead(run->err, run->buffer, RELAY_SIZE, &got);
  if (state == PLAT_STREAM_EMPTY) return;
  if (state != 0 || got == 0) {
    PlatStreamClose(run->err);
    run->err = nullptr;
    return;
  }
  CgiErrorOutputTake(&run->errors, run->buffer, got);
}

// Output before the header's end gathers until the header is complete;
// false when the run cannot go on (a bad header, no memory).
bool TakeHeaderOutput(StandardRun *run, const char *bytes, size_t length) {
  char *grown = static_cast<char *>(realloc(run->header, run->headerUsed + length));
  if (!grown) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    run->end = END_FAILURE;
    return false;
  }
  run->header = grown;
  memcpy(run->header + run->headerUsed, bytes, length);
  run->headerUsed += length;
  int state = CgiProgramHeaderParse(run->header, run->headerUsed, &run->parsed);
  if (state == CGI_HEADER_INCOMPLETE) return true;
  if (state == CGI_HEADER_BAD) {
    LogPrint(LOG_ERR, "CGI header error (ID=%X): %s", run->meta->id, run->parsed.problem);
    run->end = END_BAD_HEADER;
    return false;
  }
  if (!SendProgramHeader(run)) {
    run->end = END_CLIENT;
    return false;
  }
  return true;
}

// Moves one read of output; false when the run cannot go on. One read at
// a time: a program that never stops writing still meets its limits. A
// program that writes its whole answer itself (nph-) is relayed as is.
bool RelayOutput(StandardRun *run) {
  uint32_t got = 0;
  int state = PlatStreamRead(run->out, run->buffer, RELAY_SIZE, &got);
  if (state == PLAT_STREAM_EMPTY) return true;
  if (state != 0) {
    LogPrint(LOG_ERR, "Failed ReadFile() errno=%d", PlatLastError());
    run->end = END_FAILURE;
    return false;
  }
  if (got == 0) {
    run->outEnded = true;
    PlatStreamClose(run->out);
    run->out = nullptr;
    return true;
  }
  run->lastOutput = PlatMonotonicMsec();
  if (run->meta->nph && !run->headerSent) {
    run->headerSent = true;
    int status = NphStatus(run->buffer, got);
    if (run->reply->answer) run->reply->answer->status = status ? status : 200;
  }
  bool going = run->headerSent ? SendAll(run, run->buffer, got)
                               : TakeHeaderOutput(run, run->buffer, got);
  if (!going && run->end == END_PROGRAM) run->end = END_CLIENT;
  return going;
}

// ------------------------------------------------ limits

int32_t Elapsed(uint64_t since, uint64_t now) {
  uint64_t elapsed = now - since;
  return elapsed > INT32_MAX ? INT32_MAX : static_cast<int32_t>(elapsed);
}

// The end of a run that hit a cap (logged with its figure).
RunEnd CapEnd(int cap) {
  if (cap == PLAT_CAP_MEMORY) return END_MEMORY_CAP;
  if (cap == PLAT_CAP_PROCESSES) return END_PROCESS_CAP;
  return END_CPU_CAP;
}

bool CapHit(StandardRun *run) {
  int cap = CgiHoldCapHit(&run->hold);
  if (cap == PLAT_CAP_NONE) return false;
  run->end = CapEnd(cap);
  return true;
}

// Whether a limit has fallen due (logged as for any CGI run), or a cap has
// been hit; once the program has ended its silence no longer counts.
bool LimitDue(StandardRun *run, uint64_t now) {
  int32_t runTime = Elapsed(run->start, now);
  if (runTime > ConfigTbl->cgi_exe_timeout) {
    LogPrint(LOG_ERR, "CGI EXE timeout! (%dmsec)", runTime);
    run->end = END_EXE_LIMIT;
    return true;
  }
  int32_t idleTime = Elapsed(run->lastOutput, now);
  if (!run->ended && idleTime > ConfigTbl->cgi_io_timeout) {
    LogPrint(LOG_ERR, "CGI I/O timeout! (%dmsec/%dmsec)", idleTime, runTime);
    run->end = END_IO_LIMIT;
    return true;
  }
  return !run->ended && CapHit(run);
}

// Milliseconds until the next limit falls due (one past it).
int32_t UntilNextLimit(const StandardRun *run, uint64_t now) {
  int64_t exe = static_cast<int64_t>(ConfigTbl->cgi_exe_timeout) + 1 - Elapsed(run->start, now);
  int64_t wait = exe;
  if (!run->ended) {
    int64_t io = static_cast<int64_t>(ConfigTbl->cgi_io_timeout) + 1 - Elapsed(run->lastOutput, now);
    if (io < wait) wait = io;
  }
  if (CgiCapsSet() && wait > CAP_LOOK_MSEC) wait = CAP_LOOK_MSEC;
  if (wait < 0) return 0;
  return wait > INT32_MAX ? INT32_MAX : static_cast<int32_t>(wait);
}

// ------------------------------------------------ the run

// Waits and acts until the run ends; its end says how. Once the program has
// ended, what is left in its pipes is read without waiting for a descendant
// that may hold them open: the run ends with the first look that finds
// nothing there.
void Relay(StandardRun *run) {
  run->end = END_PROGRAM;
  WriteBody(run);
  for (;;) {
    uint64_t now = PlatMonotonicMsec();
    if (LimitDue(run, now)) return;
    PlatWaitSet set = {run->out, run->err, run->bodyLeft > 0 ? run->in : nullptr,
                       run->ended ? nullptr : run->hold.info.process};
    // A cap may have ended the program: once its output is relayed, the run
    // ends as a capped one.
    if (!set.out && !set.err && !set.in && !set.process) {  // ended, all read
      CapHit(run);
      return;
    }
    int ready = PlatProcessWait(&set, run->ended ? 0 : UntilNextLimit(run, now));
    if (ready < 0) {
      LogPrint(LOG_ERR, "Failed WaitForMultipleObjects() errno=%d", PlatLastError());
      run->end = END_FAILURE;
      return;
    }
    if (run->ended && (ready & (PLAT_READY_OUT | PLAT_READY_ERR)) == 0) {
      CapHit(run);
      return;
    }
    if (ready & PLAT_READY_IN) WriteBody(run);
    if ((ready & PLAT_READY_ERR) && run->err) ReadErrors(run);
    if ((ready & PLAT_READY_OUT) && run->out && !RelayOutput(run)) return;
    if (ready & PLAT_READY_ENDED) run->ended = true;
  }
}

const char *LimitName(RunEnd end) {
  if (end == END_EXE_LIMIT) return "cgi-exe-timeout";
  if (end == END_IO_LIMIT) return "cgi-io-timeout";
  if (end == END_MEMORY_CAP) return "cgi-memory-limit";
  if (end == END_PROCESS_CAP) return "cgi-process-limit";
  if (end == END_CPU_CAP) return "cgi-cpu-limit";
  return "none";
}

// After the relay: the program ended with its processes where the run did
// not end by its own end, then the client answered where it still can be.
void Conclude(StandardRun *run) {
  bool byLimit = run->end == END_EXE_LIMIT || run->end == END_IO_LIMIT;
  bool byCap = run->end == END_MEMORY_CAP || run->end == END_PROCESS_CAP || run->end == END_CPU_CAP;
  CgiHoldEnd(&run->hold, run->end != END_PROGRAM);
  if (byLimit && !run->headerSent) {
    SendOwnAnswer(run, 504, TIMEOUT_TEXT);
  } else if (byCap && !run->headerSent) {
    SendOwnAnswer(run, 502, CAP_TEXT);
  } else if (run->end == END_BAD_HEADER) {
    SendOwnAnswer(run, 502, BAD_HEADER_TEXT);
  } else if (run->end == END_PROGRAM && !run->headerSent) {
    LogPrint(LOG_ERR, "CGI header error (ID=%X): %s", run->meta->id,
             "the output ends before the empty line that ends the header");
    SendOwnAnswer(run, 502, BAD_HEADER_TEXT);
  }
  CgiErrorOutputEnd(&run->errors);
}

void LogOutcome(const StandardRun *run, const PlatProcessOutcome *outcome, bool known) {
  char ended[48];
  if (!known)
    snprintf(ended, sizeof ended, "exit unknown");
  else if (outcome->signal)
    snprintf(ended, sizeof ended, "signal %d", outcome->signal);
  else
    snprintf(ended, sizeof ended, "exit code %u", outcome->exitCode);
  LogPrint(LOG_INFO,
           "CGI outcome (ID=%X): status %d, %s, limit %s, real %d ms, CPU %" PRIu64
           " ms, peak memory %" PRIu64 " KiB, %" PRIu64 " bytes relayed",
           run->meta->id, run->status, ended, LimitName(run->end),
           Elapsed(run->start, PlatMonotonicMsec()), outcome->cpuMsec, outcome->peakKiB,
           run->relayed);
}

// The three pipes; the program's ends are returned for its start.
int OpenStreams(StandardRun *run, PlatHandle ends[3]) {
  ends[0] = ends[1] = ends[2] = PLAT_INVALID_HANDLE;
  if (PlatStreamPipe(PLAT_STREAM_WRITE, &run->in, &ends[0]) == 0 &&
      PlatStreamPipe(PLAT_STREAM_READ, &run->out, &ends[1]) == 0 &&
      PlatStreamPipe(PLAT_STREAM_READ, &run->err, &ends[2]) == 0)
    return 0;
  LogPrint(LOG_ERR, "Failed CreatePipe() errno=%d", PlatLastError());
  return -1;
}

void CloseStreams(StandardRun *run) {
  PlatStreamClose(run->in);
  PlatStreamClose(run->out);
  PlatStreamClose(run->err);
  run->in = run->out = run->err = nullptr;
}

void CloseProgramEnds(PlatHandle ends[3]) {
  for (int i = 0; i < 3; ++i) PlatHandleClose(ends[i]);
}

// Starts the program: the one the entry names, with its arguments and the
// script's path, or the script itself when the entry names none; in the
// script's folder.
int StartProgram(StandardRun *run, const char *environment, PlatHandle ends[3]) {
  const CgiRequest *request = run->request;
  bool itself = request->program[0] == '\0';
  PlatProcessStart start;
  start.program = itself ? request->scriptPath : request->program;
  start.arguments = itself ? "" : request->arguments;
  start.scriptPath = itself ? nullptr : request->scriptPath;
  start.environment = environment;
  start.stdIn = ends[0];
  start.stdOut = ends[1];
  start.stdErr = ends[2];
  start.directory = run->meta->directory;
  start.container = run->hold.container;
  PlatProcessInfo info;
  if (PlatProcessCreate(&start, &info) != 0) {
    LogPrint(LOG_ERR, "Failed CreateProcess() errno=%d", PlatLastError());
    return -1;
  }
  CgiHoldStarted(&run->hold, &info);
  return 0;
}

}  // namespace

int CgiStandardExec(const CgiRequest *request, const CgiMeta *meta, const CgiReply *reply) {
  TRACE_START();
  StandardRun run = {};
  run.request = request;
  run.meta = meta;
  run.reply = reply;
  run.bodyAt = meta->body;
  run.bodyLeft = meta->body ? meta->bodyLength : 0;
  run.errors.id = meta->id;
  run.buffer = static_cast<char *>(malloc(RELAY_SIZE));
  char *environment = CgiStandardEnvironment(request, meta);
  if (!run.buffer || !environment) {
    LogPrint(LOG_ERR, "Failed malloc() errno=%d", PlatLastError());
    free(run.buffer);
    free(environment);
    return -1;
  }
  PlatHandle ends[3] = {PLAT_INVALID_HANDLE, PLAT_INVALID_HANDLE, PLAT_INVALID_HANDLE};
  int started = -1;
  if (CgiHoldOpen(&run.hold) == 0 && OpenStreams(&run, ends) == 0)
    started = StartProgram(&run, environment, ends);
  // The program holds its ends now: the server's copies go, so that the
  // ends of its output and the end of its input are seen.
  CloseProgramEnds(ends);
  free(environment);
  if (started != 0) {
    CloseStreams(&run);
    CgiHoldClose(&run.hold);
    free(run.buffer);
    return -1;
  }
  run.start = run.lastOutput = PlatMonotonicMsec();
  Relay(&run);
  Conclude(&run);
  PlatProcessOutcome outcome;
  bool known = PlatProcessFinish(run.hold.info.process, REAP_WAIT_MSEC, &outcome) == 0;
  LogOutcome(&run, &outcome, known);
  CloseStreams(&run);
  PlatProcessClose(run.hold.info.process);
  CgiHoldClose(&run.hold);
  free(run.parsed.lines);
  free(run.header);
  free(run.buffer);
  TRACE_END();
  return 0;
}

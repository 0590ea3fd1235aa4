// Win32 backend of CGI child processes: anonymous pipes, handle duplication,
// CreateProcessA with the pipe ends as standard handles, the only handles it
// inherits, and a command line composed here (suspended until it is in its
// run's job), and the exit code; the streams of a standard CGI run
// (overlapped named pipes), the wait for them and the program's end, and the
// outcome of an ended process.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PlatContainRec.h"
#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

const DWORD PIPE_SIZE = 1024;  // suggested size of every pipe
const DWORD ABANDON_WAIT_MSEC = 2000;  // for a program whose start failed to go

HANDLE Native(PlatHandle handle) { return reinterpret_cast<HANDLE>(handle); }
PlatHandle Plat(HANDLE handle) { return reinterpret_cast<PlatHandle>(handle); }
HANDLE Native(PlatProcess process) { return reinterpret_cast<HANDLE>(process); }

// "\"program\" arguments \"scriptPath\"" in a heap text of the exact size
// (CreateProcessA may write into it); null when no memory. Without a script
// path: "\"program\" arguments", or "\"program\"" when there are none.
char *CommandLine(const PlatProcessStart *start) {
  const char *script = start->scriptPath;
  size_t size =
      strlen(start->program) + strlen(start->arguments) + (script ? strlen(script) : 0) + 7;
  char *text = static_cast<char *>(malloc(size));
  if (!text) return nullptr;
  if (script)
    snprintf(text, size, "\"%s\" %s \"%s\"", start->program, start->arguments, script);
  else if (start->arguments[0])
    snprintf(text, size, "\"%s\" %s", start->program, start->arguments);
  else
    snprintf(text, size, "\"%s\"", start->program);
  return text;
}

// The standard handles of a start, each once (a list of handles to inherit
// must not name one twice) and none that is null.
DWORD InheritedHandles(const STARTUPINFOA *startup, HANDLE handles[3]) {
  DWORD count = 0;
  for (HANDLE handle : {startup->hStdInput, startup->hStdOutput, startup->hStdError}) {
    if (!handle || std::find(handles, handles + count, handle) != handles + count) continue;
    handles[count++] = handle;
  }
  return count;
}

// The standard handles and a hidden window; no attribute list yet.
void SetStartup(const PlatProcessStart *start, STARTUPINFOEXA *startup) {
  memset(startup, 0, sizeof *startup);
  STARTUPINFOA *info = &startup->StartupInfo;
  info->cb = sizeof *startup;
  info->dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  info->wShowWindow = SW_HIDE;
  info->hStdInput = Native(start->stdIn);
  info->hStdOutput = Native(start->stdOut);
  info->hStdError = start->stdErr == PLAT_INVALID_HANDLE ? nullptr : Native(start->stdErr);
}

void FreeAttributes(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  DeleteProcThreadAttributeList(list);
  free(list);
}

// An attribute list that limits what a started program inherits to the
// handles given, which must outlive it; null, with the last error, when it
// cannot be made.
LPPROC_THREAD_ATTRIBUTE_LIST InheritOnly(HANDLE *handles, DWORD count) {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // fails, telling the size
  auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(malloc(size));
  if (!list) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    DWORD error = GetLastError();
    free(list);
    SetLastError(error);
    return nullptr;
  }
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                 count * sizeof *handles, nullptr, nullptr)) {
    DWORD error = GetLastError();
    FreeAttributes(list);
    SetLastError(error);
    return nullptr;
  }
  return list;
}

}  // namespace

// Both ends are inheritable, so that either can become a child's standard
// handle; the server keeps its own ends as copies that are not. A child
// inherits only the ends it is started with (PlatProcessCreate).
int PlatPipeCreate(PlatHandle *readEnd, PlatHandle *writeEnd) {
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = TRUE;
  HANDLE reader = nullptr;
  HANDLE writer = nullptr;
  if (!SysCreatePipe(&reader, &writer, &attributes, PIPE_SIZE)) return -1;
  *readEnd = Plat(reader);
  *writeEnd = Plat(writer);
  return 0;
}

int PlatHandleDuplicate(PlatHandle handle, PlatHandle *duplicate) {
  HANDLE copy = nullptr;
  HANDLE self = GetCurrentProcess();
  if (!SysDuplicateHandle(self, Native(handle), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return -1;
  *duplicate = Plat(copy);
  return 0;
}

int PlatHandleClose(PlatHandle handle) {
  if (handle == PLAT_INVALID_HANDLE) return 0;
  return CloseHandle(Native(handle)) ? 0 : -1;
}

// Only the server's own end of a pipe is switched: a write then takes what
// fits into the pipe and returns at once.
int PlatHandleSetNonBlocking(PlatHandle handle) {
  DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
  return SetNamedPipeHandleState(Native(handle), &mode, nullptr, nullptr) ? 0 : -1;
}

int PlatPipePeek(PlatHandle handle, uint32_t cap, uint32_t *available) {
  DWORD read = 0;
  DWORD total = 0;
  if (!SysPeekNamedPipe(Native(handle), nullptr, cap, &read, &total, nullptr)) return -1;
  // Without a data buffer some systems report only the total waiting.
  if (read == 0) read = total < cap ? total : cap;
  *available = read;
  return 0;
}

int PlatHandleRead(PlatHandle handle, void *buffer, uint32_t length, uint32_t *done) {
  DWORD count = 0;
  BOOL ok = SysReadFile(Native(handle), buffer, length, &count, nullptr);
  *done = count;
  return ok ? 0 : -1;
}

int PlatHandleWrite(PlatHandle handle, const void *buffer, uint32_t length, uint32_t *done) {
  DWORD count = 0;
  BOOL ok = WriteFile(Native(handle), buffer, length, &count, nullptr);
  *done = count;
  return ok ? 0 : -1;
}

// The program by its own name (no search path), the command line as
// composed, the environment block as the whole environment, the pipe ends as
// standard input, output and error (none without one) and as the only
// handles it inherits, a hidden window, in the given folder or the server's,
// in the run's job where it has one.
//
// Runs start on threads of their own: without its list of handles, a
// program would also inherit the pipe ends of any run started at the same
// moment and hold that run's pipes open while it lives. Where the list
// cannot be made, the start fails rather than pass on every inheritable
// handle of the server.
int PlatProcessCreate(const PlatProcessStart *start, PlatProcessInfo *info) {
  char *commandLine = CommandLine(start);
  if (!commandLine) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }

  STARTUPINFOEXA startup;
  SetStartup(start, &startup);
  HANDLE inherited[3];
  DWORD inheritedCount = InheritedHandles(&startup.StartupInfo, inherited);
  startup.lpAttributeList = InheritOnly(inherited, inheritedCount);
  if (!startup.lpAttributeList) {
    DWORD error = GetLastError();
    free(commandLine);
    SetLastError(error);
    return -1;
  }

  // A contained program starts suspended and runs only once it is in its
  // run's job: everything it starts is then in the job too.
  HANDLE job = start->container ? start->container->job : nullptr;
  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);
  BOOL created = CreateProcessA(
      start->program, commandLine, nullptr, nullptr, TRUE,
      EXTENDED_STARTUPINFO_PRESENT | (job ? CREATE_SUSPENDED : 0),
      const_cast<char *>(start->environment), start->directory, &startup.StartupInfo, &process);
  DWORD error = GetLastError();
  free(commandLine);
  FreeAttributes(startup.lpAttributeList);
  if (!created) {
    SetLastError(error);
    return -1;
  }
  if (job && (!SysAssignProcessToJobObject(job, process.hProcess) ||
              ResumeThread(process.hThread) == static_cast<DWORD>(-1))) {
    // It has run nothing: ended here, it is gone before the start fails.
    error = GetLastError();
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, ABANDON_WAIT_MSEC);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    SetLastError(error);
    return -1;
  }
  CloseHandle(process.hThread);  // nothing of the child's thread is used
  info->process = reinterpret_cast<PlatProcess>(process.hProcess);
  info->processId = process.dwProcessId;
  return 0;
}

// STILL_ACTIVE (259) is both the answer for a running process and a code a
// process may end with: such a process counts as running.
int PlatProcessExitCode(PlatProcess process, uint32_t *code) {
  DWORD exitCode = 0;
  if (!SysGetExitCodeProcess(Native(process), &exitCode)) return -1;
  if (exitCode == STILL_ACTIVE) return PLAT_PROCESS_RUNNING;
  *code = exitCode;
  return 0;
}

int PlatProcessClose(PlatProcess process) { return CloseHandle(Native(process)) ? 0 : -1; }

// Windows keeps no zombies: an ended process is gone once its last handle is.
int PlatOrphanReaperStart(const char **) { return 0; }

// Windows keeps no process groups of this kind: the tree walk over the
// process list and the run's job end a run's descendants.
int PlatProcessGroupTerminate(PlatProcess) { return 0; }

// ------------------------------------------------ streams and waits

// The server's end of a stream is a named pipe opened for overlapped I/O,
// never inherited; the program's end is an ordinary inheritable handle. A
// stream keeps at most one operation under way, into or out of a buffer of
// its own, so that neither a read nor a write ever waits for the program;
// the event of that operation is what PlatProcessWait waits for.
struct PlatStreamRec {
  HANDLE pipe;
  int direction;
  OVERLAPPED overlapped;  // of the operation under way; its event is manual-reset
  bool pending;           // an operation is under way
  bool ended;             // read: every writer has closed the pipe
  DWORD failure;          // the error that ended the stream; 0 while none has
  char *buffer;           // STREAM_BUFFER_SIZE bytes
  DWORD used;             // read: handed out; write: written
  DWORD filled;           // read: completed reads; write: accepted
};

namespace {

// Of each stream's buffer, and the size suggested for each pipe.
const DWORD STREAM_BUFFER_SIZE = 65536;

LONG StreamNumber = 0;  // makes the name of every pipe of the server unique

void ReleaseStream(PlatStreamRec *stream) {
  if (stream->pipe != INVALID_HANDLE_VALUE) CloseHandle(stream->pipe);
  CloseHandle(stream->overlapped.hEvent);
  free(stream->buffer);
  free(stream);
}

// A read's result: bytes in the buffer, the end of the stream (the writer
// has closed its end), or its failure.
void ReadDone(PlatStreamRec *stream, DWORD error, DWORD count) {
  stream->pending = false;
  stream->used = 0;
  stream->filled = error == 0 ? count : 0;
  if (error == ERROR_BROKEN_PIPE) {
    stream->ended = true;
  } else if (error != 0) {
    stream->failure = error;
  }
}

bool HasSomething(const PlatStreamRec *stream) {
  return stream->used < stream->filled || stream->ended || stream->failure != 0;
}

// Starts the next read once everything read is handed out, unless one is
// under way or the stream is over. A read that completes at once with
// nothing (a writer's write of 0 bytes) is followed by the next.
void StartRead(PlatStreamRec *stream) {
  while (!stream->pending && !HasSomething(stream)) {
    if (SysReadFile(stream->pipe, stream->buffer, STREAM_BUFFER_SIZE, nullptr,
                    &stream->overlapped)) {
      DWORD count = 0;
      BOOL ok = GetOverlappedResult(stream->pipe, &stream->overlapped, &count, FALSE);
      ReadDone(stream, ok ? 0 : GetLastError(), count);
    } else if (GetLastError() == ERROR_IO_PENDING) {
      stream->pending = true;
    } else {
      ReadDone(stream, GetLastError(), 0);
    }
  }
}

// Takes the result of the read under way if it has completed, without
// waiting, and keeps a read under way while the buffer is empty.
void CollectRead(PlatStreamRec *stream) {
  if (stream->pending) {
    DWORD count = 0;
    if (GetOverlappedResult(stream->pipe, &stream->overlapped, &count, FALSE)) {
      ReadDone(stream, 0, count);
    } else {
      DWORD error = GetLastError();
      if (error == ERROR_IO_INCOMPLETE) return;
      ReadDone(stream, error, 0);
    }
  }
  StartRead(stream);
}

// Writes the accepted bytes not yet written, as one operation that may stay
// under way. A write that takes nothing counts as a failure: it would never
// end.
void StartWrite(PlatStreamRec *stream) {
  while (stream->used < stream->filled && stream->failure == 0) {
    if (!WriteFile(stream->pipe, stream->buffer + stream->used, stream->filled - stream->used,
                   nullptr, &stream->overlapped)) {
      DWORD error = GetLastError();
      if (error == ERROR_IO_PENDING) {
        stream->pending = true;
      } else {
        stream->failure = error;
      }
      return;
    }
    DWORD count = 0;
    if (!GetOverlappedResult(stream->pipe, &stream->overlapped, &count, FALSE) || count == 0) {
      stream->failure = count == 0 ? ERROR_WRITE_FAULT : GetLastError();
      return;
    }
    stream->used += count;
  }
}

// Takes the result of the write under way if it has completed, without
// waiting; a part it left unwritten is written on.
void CollectWrite(PlatStreamRec *stream) {
  if (!stream->pending) return;
  DWORD count = 0;
  if (!GetOverlappedResult(stream->pipe, &stream->overlapped, &count, FALSE)) {
    DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return;
    stream->pending = false;
    stream->failure = error;
    return;
  }
  stream->pending = false;
  stream->used += count;
  StartWrite(stream);
}

// The last write of a closed stream has ended (the program read it, or its
// end is gone): the pipe is closed after it.
void CALLBACK CloseAfterWrite(PTP_CALLBACK_INSTANCE, void *context, PTP_WAIT wait,
                              TP_WAIT_RESULT) {
  ReleaseStream(static_cast<PlatStreamRec *>(context));
  CloseThreadpoolWait(wait);
}

}  // namespace

// The pipe's name is unique in the system (the server's process id and a
// count) and taken by its first instance only, so no other process can
// stand in for it; the program's end is opened at once, which connects the
// pipe, and no second client can connect after it.
int PlatStreamPipe(int direction, PlatStream *stream, PlatHandle *programEnd) {
  PlatStreamRec *rec = static_cast<PlatStreamRec *>(calloc(1, sizeof *rec));
  char *buffer = static_cast<char *>(malloc(STREAM_BUFFER_SIZE));
  if (!rec || !buffer) {
    free(rec);
    free(buffer);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  rec->direction = direction;
  rec->buffer = buffer;
  rec->pipe = INVALID_HANDLE_VALUE;
  rec->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!rec->overlapped.hEvent) {
    DWORD error = GetLastError();
    free(buffer);
    free(rec);
    SetLastError(error);
    return -1;
  }
  char name[64];
  snprintf(name, sizeof name, "\\\\.\\pipe\\tarveld-%lu-%ld",
           static_cast<unsigned long>(GetCurrentProcessId()),
           static_cast<long>(InterlockedIncrement(&StreamNumber)));
  bool reads = direction == PLAT_STREAM_READ;
  DWORD openMode = (reads ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                   FILE_FLAG_FIRST_PIPE_INSTANCE;
  rec->pipe = CreateNamedPipeA(name, openMode,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                   PIPE_REJECT_REMOTE_CLIENTS,
                               1, STREAM_BUFFER_SIZE, STREAM_BUFFER_SIZE, 0, nullptr);
  HANDLE end = INVALID_HANDLE_VALUE;
  if (rec->pipe != INVALID_HANDLE_VALUE) {
    SECURITY_ATTRIBUTES inherited;
    inherited.nLength = sizeof inherited;
    inherited.lpSecurityDescriptor = nullptr;
    inherited.bInheritHandle = TRUE;
    // The access of an anonymous pipe's end of the same direction.
    DWORD access =
        reads ? GENERIC_WRITE | FILE_READ_ATTRIBUTES : GENERIC_READ | FILE_WRITE_ATTRIBUTES;
    end = CreateFileA(name, access, 0, &inherited, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (end == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    ReleaseStream(rec);
    SetLastError(error);
    return -1;
  }
  *stream = rec;
  *programEnd = Plat(end);
  return 0;
}

int PlatStreamRead(PlatStream stream, void *buffer, uint32_t length, uint32_t *done) {
  CollectRead(stream);
  if (stream->used < stream->filled) {
    DWORD count = stream->filled - stream->used;
    if (count > length) count = length;
    memcpy(buffer, stream->buffer + stream->used, count);
    stream->used += count;
    *done = count;
    StartRead(stream);
    return 0;
  }
  if (stream->failure != 0) {
    SetLastError(stream->failure);
    return -1;
  }
  if (stream->ended) {
    *done = 0;
    return 0;
  }
  return PLAT_STREAM_EMPTY;
}

// The bytes taken are the program's as soon as they are in the stream's
// buffer: the write under way delivers them, also after the stream is
// closed.
int PlatStreamWrite(PlatStream stream, const void *buffer, uint32_t length, uint32_t *done) {
  *done = 0;
  CollectWrite(stream);
  if (stream->failure == 0 && !stream->pending) {
    DWORD count = length < STREAM_BUFFER_SIZE ? length : STREAM_BUFFER_SIZE;
    memcpy(stream->buffer, buffer, count);
    stream->used = 0;
    stream->filled = count;
    StartWrite(stream);
    if (stream->failure == 0) *done = count;
  }
  if (stream->failure != 0) {
    SetLastError(stream->failure);
    return -1;
  }
  return 0;
}

// A read under way is cancelled; the cancelled read lets go of the buffer
// at once. A write under way is left to end on the system's thread pool,
// which then closes the pipe: the program gets every byte it was given,
// then the end of its input.
void PlatStreamClose(PlatStream stream) {
  if (!stream) return;
  if (stream->pending && stream->direction == PLAT_STREAM_WRITE) {
    PTP_WAIT wait = CreateThreadpoolWait(CloseAfterWrite, stream, nullptr);
    if (wait) {
      SetThreadpoolWait(wait, stream->overlapped.hEvent, nullptr);
      return;
    }
  }
  if (stream->pending) {
    DWORD count = 0;
    CancelIoEx(stream->pipe, &stream->overlapped);
    GetOverlappedResult(stream->pipe, &stream->overlapped, &count, TRUE);
  }
  ReleaseStream(stream);
}

namespace {

// What can be waited for of a wait set.
struct Waitables {
  HANDLE handles[4];
  int flags[4];
  DWORD count;
};

void Watch(Waitables *waitables, HANDLE handle, int flag) {
  waitables->handles[waitables->count] = handle;
  waitables->flags[waitables->count++] = flag;
}

// The members ready now, having taken every completed operation's result;
// the others' events (and the process while it runs) go to waitables. -1
// when the process cannot be looked at.
int ReadyNow(const PlatWaitSet *set, Waitables *waitables) {
  waitables->count = 0;
  int ready = 0;
  PlatStream reads[2] = {set->out, set->err};
  const int readFlags[2] = {PLAT_READY_OUT, PLAT_READY_ERR};
  for (int i = 0; i < 2; ++i) {
    if (!reads[i]) continue;
    CollectRead(reads[i]);
    if (HasSomething(reads[i])) {
      ready |= readFlags[i];
    } else {
      Watch(waitables, reads[i]->overlapped.hEvent, readFlags[i]);
    }
  }
  if (set->in) {
    CollectWrite(set->in);
    if (set->in->pending) {
      Watch(waitables, set->in->overlapped.hEvent, PLAT_READY_IN);
    } else {
      ready |= PLAT_READY_IN;
    }
  }
  if (set->process) {
    DWORD state = WaitForSingleObject(Native(set->process), 0);
    if (state == WAIT_FAILED) return -1;
    if (state == WAIT_OBJECT_0) {
      ready |= PLAT_READY_ENDED;
    } else {
      Watch(waitables, Native(set->process), PLAT_READY_ENDED);
    }
  }
  return ready;
}

}  // namespace

// Every member's event and the process wake the wait; what woke it is then
// taken as ReadyNow takes it. A read that completes with nothing (0 bytes
// written) is no readiness, and the wait goes on for the time that is left.
int PlatProcessWait(const PlatWaitSet *set, int32_t milliseconds) {
  uint64_t deadline =
      PlatMonotonicMsec() + static_cast<uint64_t>(milliseconds > 0 ? milliseconds : 0);
  for (;;) {
    Waitables waitables;
    int ready = ReadyNow(set, &waitables);
    if (ready != 0) return ready;
    uint64_t now = PlatMonotonicMsec();
    if (now >= deadline) return 0;
    DWORD left = static_cast<DWORD>(deadline - now);
    if (waitables.count == 0) {
      Sleep(left);  // nothing to watch: only the time
      return 0;
    }
    DWORD woken = WaitForMultipleObjects(waitables.count, waitables.handles, FALSE, left);
    if (woken == WAIT_FAILED) return -1;
    if (woken == WAIT_TIMEOUT) return ReadyNow(set, &waitables);
  }
}

int PlatProcessFinish(PlatProcess process, int32_t milliseconds, PlatProcessOutcome *outcome) {
  memset(outcome, 0, sizeof *outcome);
  HANDLE handle = Native(process);
  DWORD state =
      WaitForSingleObject(handle, static_cast<DWORD>(milliseconds > 0 ? milliseconds : 0));
  if (state == WAIT_TIMEOUT) SetLastError(WAIT_TIMEOUT);
  if (state != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (!SysGetExitCodeProcess(handle, &code)) return -1;
  outcome->ended = 1;
  outcome->exitCode = code;
  FILETIME created, exited, kernel, user;
  if (GetProcessTimes(handle, &created, &exited, &kernel, &user)) {
    uint64_t units = ((static_cast<uint64_t>(kernel.dwHighDateTime) << 32) | kernel.dwLowDateTime) +
                     ((static_cast<uint64_t>(user.dwHighDateTime) << 32) | user.dwLowDateTime);
    outcome->cpuMsec = units / 10000;  // of 100 ns
  }
  PROCESS_MEMORY_COUNTERS counters;
  memset(&counters, 0, sizeof counters);
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(handle, &counters, sizeof counters))
    outcome->peakKiB = counters.PeakWorkingSetSize / 1024;
  return 0;
}

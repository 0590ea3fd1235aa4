// Win32 backend of CGI child processes: anonymous pipes, handle duplication,
// CreateProcessA with the pipe ends as standard handles and a command line
// composed here, and the exit code.
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "PlatSyscallTable.h"
#include "platform/platform.h"

namespace {

const DWORD PIPE_SIZE = 1024;  // suggested size of every pipe

HANDLE Native(PlatHandle handle) { return reinterpret_cast<HANDLE>(handle); }
PlatHandle Plat(HANDLE handle) { return reinterpret_cast<PlatHandle>(handle); }
HANDLE Native(PlatProcess process) { return reinterpret_cast<HANDLE>(process); }

// "\"program\" arguments \"scriptPath\"" in a heap text of the exact size
// (CreateProcessA may write into it); null when no memory.
char *CommandLine(const PlatProcessStart *start) {
  size_t size = strlen(start->program) + strlen(start->arguments) + strlen(start->scriptPath) + 7;
  char *text = static_cast<char *>(malloc(size));
  if (text)
    snprintf(text, size, "\"%s\" %s \"%s\"", start->program, start->arguments, start->scriptPath);
  return text;
}

}  // namespace

// Both ends are inheritable, so that either can become a child's standard
// handle; the server keeps its own ends as copies that are not.
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
// standard input and output, no standard error, a hidden window.
int PlatProcessCreate(const PlatProcessStart *start, PlatProcessInfo *info) {
  char *commandLine = CommandLine(start);
  if (!commandLine) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }

  STARTUPINFOA startup;
  memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = Native(start->stdIn);
  startup.hStdOutput = Native(start->stdOut);
  startup.hStdError = nullptr;

  PROCESS_INFORMATION process;
  memset(&process, 0, sizeof process);
  BOOL created = CreateProcessA(start->program, commandLine, nullptr, nullptr, TRUE, 0,
                                const_cast<char *>(start->environment), nullptr, &startup,
                                &process);
  DWORD error = GetLastError();
  free(commandLine);
  if (!created) {
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
// process list is all that ends a run's descendants.
int PlatProcessGroupTerminate(PlatProcess) { return 0; }
